#include "app/procedure_codes.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "app/error.h"
#include "app/log.h"

namespace norv {
namespace {

std::optional<std::vector<std::string>>& Table() {
  static std::optional<std::vector<std::string>> table;
  return table;
}

}  // namespace

std::vector<std::string> SplitProcedureCodes(std::string_view text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  std::size_t start = 0;
  while (true) {
    std::size_t semi = text.find(';', start);
    if (semi == std::string_view::npos) {
      out.emplace_back(text.substr(start));
      break;
    }
    out.emplace_back(text.substr(start, semi - start));
    start = semi + 1;
  }
  return out;
}

void ReadProcedureIDs() {
  try {
    std::string path = ProgramDir() + "/procedure-ids.txt";
    std::error_code ec;
    std::string text;
    if (std::filesystem::exists(path, ec)) {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        throw Error(kErrPathFileAccess,
                    std::string("Path/File access error: ") + std::strerror(errno));
      }
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (in.bad()) throw Error(kErrPathFileAccess, "Path/File access error");
    } else {
      text = "!%&X;!%&X";
    }
    Table() = SplitProcedureCodes(text);
  } catch (...) {
    LogCaughtError("Global ReadProcedureIDs");
  }
}

bool IsProcedureID(std::string_view code) {
  if (!Table()) throw Error(kErrSubscriptOutOfRange, "Procedure code table was never read");
  for (const std::string& entry : *Table()) {
    if (entry == code) return true;
  }
  return false;
}

int ProcedureCodeCount() { return Table() ? static_cast<int>(Table()->size()) : -1; }

void ResetProcedureIDsForTesting() { Table().reset(); }

}  // namespace norv
