#include "core/settings.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>

#include "core/registry.h"
#include "core/ansi.h"

namespace norv {
namespace {

// Parses blanks, sign, digits and an optional decimal part; no other forms.
std::optional<double> ToNumber(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  std::string t(text.substr(b, e - b));
  if (t.empty()) return std::nullopt;
  std::size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  bool digits = false;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, digits = true;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, digits = true;
  }
  if (!digits || i != t.size()) return std::nullopt;
  return std::strtod(t.c_str(), nullptr);
}

std::optional<double> RoundHalfEven(std::optional<double> v) {
  if (!v) return std::nullopt;
  double r = std::nearbyint(*v);  // default rounding mode: to nearest, ties to even
  return r;
}

// One settings step: read, convert, store; failures leave `target` alone.
template <typename T, typename Convert>
void Step(const Registry& reg, const std::string& path, std::string_view def,
          T& target, Convert convert) {
  std::optional<std::string> raw = reg.Read(path);
  std::string text = raw && !raw->empty() ? *raw : std::string(def);
  if (auto v = convert(text)) target = *v;
}

std::optional<std::string> AsText(const std::string& s) { return s; }

}  // namespace

std::string BaseKey(const SettingsSource& source) {
  return "HKLM\\Software\\VLM\\Tessarine\\NORVReader\\" + source.instance;
}

std::optional<std::int16_t> ToInt16(std::string_view text) {
  auto v = RoundHalfEven(ToNumber(text));
  if (!v || *v < -32768.0 || *v > 32767.0) return std::nullopt;
  return static_cast<std::int16_t>(*v);
}

std::optional<std::int32_t> ToInt32(std::string_view text) {
  auto v = RoundHalfEven(ToNumber(text));
  if (!v || *v < -2147483648.0 || *v > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

std::optional<bool> ToBoolean(std::string_view text) {
  std::string lower = AsciiLower(text);
  std::size_t b = lower.find_first_not_of(" \t");
  std::size_t e = lower.find_last_not_of(" \t");
  std::string t = b == std::string::npos ? "" : lower.substr(b, e - b + 1);
  if (t == "true") return true;
  if (t == "false") return false;
  auto v = ToNumber(text);
  if (!v) return std::nullopt;
  return *v != 0.0;
}

std::string ReadRegistry(const SettingsSource& source, std::string_view full_path,
                         std::string_view default_value) {
  try {
    Registry reg = Registry::Load(source.file);
    auto v = reg.Read(full_path);
    if (v && !v->empty()) return *v;
  } catch (...) {
  }
  return std::string(default_value);
}

std::string LoadSettings(const SettingsSource& source, Settings& s) {
  Registry reg;
  std::string problem;
  try {
    reg = Registry::Load(source.file, &problem);
  } catch (...) {
    // An unreadable store answers every read with its default.
    problem = "cannot be read";
  }
  const std::string base = BaseKey(source) + "\\";
  const std::string shared = std::string(kSharedKey) + "\\";
  auto text = [](const std::string& t) { return AsText(t); };

  Step(reg, base + "Debug", "", s.Debug, ToInt16);
  Step(reg, base + "Caption", "", s.Caption, text);
  Step(reg, shared + "DBServer", "", s.DBServer, text);
  Step(reg, shared + "UDP", "", s.UDP, ToInt32);
  Step(reg, shared + "Temp", "", s.Temp, text);
  Step(reg, base + "InboundPath", "", s.InboundPath, text);

  if (s.InboundPath != "TCPRECEIVE") {
    // An empty value stays empty: it names no directory (never the root).
    if (!s.InboundPath.empty() && s.InboundPath.back() != '/') s.InboundPath += '/';
  } else {
    for (int n = 1; n <= 5; ++n) {
      std::string path = "HKLM\\Software\\VLM\\Tessarine\\TCPReceive\\0" +
                         std::to_string(n) + "\\ExportPath";
      auto v = reg.Read(path);
      if (!v || v->empty()) break;
      s.ExportPathList.resize(n);
      s.ExportPathList[n - 1] = *v;
    }
  }

  Step(reg, base + "ModalityLocation", "", s.ModalityLocation, text);
  Step(reg, base + "ModalityName", "0", s.ModalityName,
       [](const std::string& t) -> std::optional<std::string> {
         auto v = ToInt16(t);
         if (!v) return std::nullopt;
         return std::to_string(*v);
       });
  Step(reg, base + "FileSuffix", "", s.FileSuffix,
       [](const std::string& t) -> std::optional<std::string> { return AsciiUpper(t); });
  Step(reg, base + "ForceRegAppointment", "0", s.ForceRegAppointment, ToBoolean);
  Step(reg, base + "CommonStudyUID", "0", s.CommonStudyUID, ToBoolean);
  Step(reg, base + "DefaultRefPhy", "", s.DefaultRefPhy, text);
  Step(reg, base + "DefaultRefPhyID", "", s.DefaultRefPhyID, text);
  Step(reg, base + "WildcardDigit", "0", s.WildcardDigit, ToInt16);
  Step(reg, base + "KeepFiles", "0", s.KeepFiles, ToInt16);
  Step(reg, base + "ConvertReports", "0", s.ConvertReports, ToInt16);
  Step(reg, base + "TickInterval", "250", s.TickInterval,
       [](const std::string& t) -> std::optional<std::int32_t> {
         auto v = ToInt32(t);
         if (!v || *v < 1 || *v > 250) return std::nullopt;
         return v;
       });
  Step(reg, base + "DrainBacklog", "0", s.DrainBacklog, ToInt16);
  Step(reg, base + "WatchInbound", "0", s.WatchInbound, ToInt16);
  Step(reg, base + "DBTimeout", "10", s.DBTimeout, ToInt32);
  Step(reg, base + "StandardHL7", "0", s.StandardHL7, ToInt32);
  Step(reg, base + "PatientIDType", "", s.PatientIDType, text);
  Step(reg, base + "PatientIDAuthority", "", s.PatientIDAuthority, text);
  Step(reg, base + "AppointmentTimeFallback", "0", s.AppointmentTimeFallback, ToInt32);
  Step(reg, base + "MLLPPort", "0", s.MLLPPort, ToInt32);
  Step(reg, base + "MLLPBind", "127.0.0.1", s.MLLPBind, text);
  Step(reg, base + "MLLPAllow", "", s.MLLPAllow, text);
  Step(reg, base + "MLLPTLSCert", "", s.MLLPTLSCert, text);
  Step(reg, base + "MLLPTLSKey", "", s.MLLPTLSKey, text);
  Step(reg, base + "MLLPTLSCA", "", s.MLLPTLSCA, text);
  Step(reg, base + "MLLPMaxMessage", "16777216", s.MLLPMaxMessage, ToInt32);
  Step(reg, base + "MLLPIdleTimeout", "300", s.MLLPIdleTimeout, ToInt32);
  Step(reg, base + "MLLPDuplicateWindow", "24", s.MLLPDuplicateWindow, ToInt32);
  Step(reg, base + "MLLPMaxConnections", "32", s.MLLPMaxConnections, ToInt32);
  Step(reg, base + "MLLPMaxPerPeer", "8", s.MLLPMaxPerPeer, ToInt32);
  Step(reg, base + "SkipDuplicates", "0", s.SkipDuplicates, ToInt16);
  Step(reg, base + "MetricsFile", "", s.MetricsFile, text);
  Step(reg, base + "StatusWarnAge", "300", s.StatusWarnAge, ToInt32);
  Step(reg, base + "StatusCritAge", "1800", s.StatusCritAge, ToInt32);
  Step(reg, base + "JournalDays", "90", s.JournalDays,
       [](const std::string& t) -> std::optional<std::int32_t> {
         auto v = ToInt32(t);
         if (!v || *v < 0) return std::nullopt;
         return v;
       });
  return problem;
}

}  // namespace norv
