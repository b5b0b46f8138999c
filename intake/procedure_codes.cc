#include "intake/procedure_codes.h"

#include <cerrno>
#include <cstring>

#include "core/error.h"

namespace norv {

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

void ProcedureCodeTable::ReadProcedureIDs(FileSystem& fs, const std::string& program_dir,
                                          Log& log) {
  try {
    std::string text;
    FsStatus st = fs.ReadWholeFile(program_dir + "/procedure-ids.txt", text);
    if (st.error == ENOENT) {
      text = "!%&X;!%&X";
    } else if (!st.ok()) {
      throw Error(kErrPathFileAccess,
                  std::string("Path/File access error: ") + std::strerror(st.error));
    }
    table_ = SplitProcedureCodes(text);
  } catch (...) {
    log.LogCaughtError("Global ReadProcedureIDs");
  }
}

bool ProcedureCodeTable::IsProcedureID(std::string_view code) const {
  if (!table_) throw Error(kErrSubscriptOutOfRange, "Procedure code table was never read");
  for (const std::string& entry : *table_) {
    if (entry == code) return true;
  }
  return false;
}

}  // namespace norv
