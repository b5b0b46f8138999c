#include <cerrno>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/log.h"
#include "core/settings.h"
#include "platform/file_system.h"
#include "fuzz/fuzz_targets.h"
#include "intake/hl7_reader.h"

namespace norv {
namespace {

// Where the reader's log lines go while fuzzing: nowhere.
class DiscardingFileSystem final : public FileSystem {
 public:
  FsStatus ListFiles(const std::string&, std::vector<FileInfo>&, const ExamineFilter&) override {
    return {ENOSYS};
  }
  FsStatus SetAttributes(const std::string&, std::uint32_t) override { return {ENOSYS}; }
  FsStatus RemoveFile(const std::string&) override { return {ENOSYS}; }
  bool FolderExists(const std::string&) override { return true; }
  PathKind KindOf(const std::string&) override { return PathKind::kMissing; }
  bool FileExists(const std::string&) override { return false; }
  FsStatus CreateFolder(const std::string&) override { return {ENOSYS}; }
  FsStatus CopyFileTo(const std::string&, const std::string&, bool) override { return {ENOSYS}; }
  FsStatus MoveFileTo(const std::string&, const std::string&) override { return {ENOSYS}; }
  FsStatus ReadWholeFile(const std::string&, std::string&) override { return {ENOSYS}; }
};

}  // namespace

int FuzzHl7Reader(const std::uint8_t* data, std::size_t size) {
  static DiscardingFileSystem nowhere;
  Settings settings;
  Log log(nowhere, "", settings);
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte picks the ModalityLocation selector, so every form of it
  // meets every message.
  static const char* const kSelectors[] = {"", "PV1;3;1", "OBR;24", "MSH;3", "PV1;30",
                                           "OBR;4;7", "MSH;9;1", "XYZ;1", "PV1", "PV1;x"};
  if (!bytes.empty()) {
    settings.ModalityLocation = kSelectors[static_cast<unsigned char>(bytes[0]) % 10];
    bytes.remove_prefix(1);
  }
  std::size_t header = bytes.find("MSH");
  if (header == std::string_view::npos) return 0;
  Hl7Segments store;
  HL7Message msg;
  SplitSegments(log, bytes.substr(header), store);
  // Shortfalls are errors of the cycle (norv::Error); anything else that
  // escapes is a defect the fuzzer reports.
  try {
    if (!ReadCommonValues(log, store, msg)) return 0;
  } catch (const Error&) {
  }
  using Reader = void (*)(const Hl7Segments&, HL7Message&);
  for (Reader read : {ReadOrderControl, ReadOrderStatus, ReadAppointmentDateTime,
                      ReadAccessionNumber, ReadProcedureText, ReadModality,
                      ReadPatientLocation, ReadReferringPhysician, ReadStudyInstanceUID}) {
    try {
      read(store, msg);
    } catch (const Error&) {
    }
  }
  try {
    ReadModalityLocation(store, msg, settings.ModalityLocation);
  } catch (const Error&) {
  }
  try {
    ReadProcedureCode(store, msg);
  } catch (const Error&) {
  }
  return 0;
}

}  // namespace norv
