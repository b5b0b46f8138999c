#include <string>
#include <string_view>

#include "core/error.h"
#include "fuzz/fuzz_targets.h"
#include "imaging/text_wrap.h"
#include "intake/hl7_standard.h"

namespace norv {

int FuzzHl7Standard(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<Hl7StandardMessage> m = ParseStandardMessage(bytes);
  if (!m) return 0;
  (void)StandardMessageEvent(*m);
  (void)LosesCharacters(bytes, m->charset);
  // The first byte picks the identifier rule.
  static const PatientIdRule kRules[] = {{"", ""}, {"MR", ""}, {"", "KH"}, {"PI", "KH"}};
  const PatientIdRule& rule = kRules[size > 0 ? data[0] % 4 : 0];
  for (bool orders : {false, true}) {
    for (const Hl7Unit& unit : SplitUnits(*m, orders)) {
      try {
        StandardReading r = ReadStandardUnit(*m, unit, rule, orders);
        for (const std::string& line : r.report_lines) {
          (void)WrapText(line, 40, [](std::string_view s) { return static_cast<int>(s.size()); });
        }
      } catch (const Error&) {
        // A message that cannot be read is an outcome, not a defect.
      }
      for (const char* segment : {"MSH", "PV1", "OBR"}) {
        for (int component : {-2, -1, 0, 1, 7}) {
          (void)SelectStandardValue(*m, unit, segment, 3, component);
        }
      }
    }
  }
  return 0;
}

}  // namespace norv
