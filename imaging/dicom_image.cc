#include "imaging/dicom_image.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcvrae.h>
#include <dcmtk/dcmdata/dcvras.h>
#include <dcmtk/dcmdata/dcvrcs.h>
#include <dcmtk/dcmdata/dcvrda.h>
#include <dcmtk/dcmdata/dcvrds.h>
#include <dcmtk/dcmdata/dcvrdt.h>
#include <dcmtk/dcmdata/dcvris.h>
#include <dcmtk/dcmdata/dcvrlo.h>
#include <dcmtk/dcmdata/dcvrlt.h>
#include <dcmtk/dcmdata/dcvrpn.h>
#include <dcmtk/dcmdata/dcvrsh.h>
#include <dcmtk/dcmdata/dcvrst.h>
#include <dcmtk/dcmdata/dcvrtm.h>
#include <dcmtk/dcmdata/dcvruc.h>
#include <dcmtk/dcmdata/dcvrui.h>
#include <dcmtk/dcmdata/dcvrur.h>
#include <dcmtk/dcmdata/dcvrut.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "core/error.h"
#include "imaging/dicom_values.h"
#include "imaging/label_renderer.h"
#include "core/uid.h"
#include "core/ansi.h"

namespace norv {
namespace {

constexpr std::uint32_t Key(std::uint16_t group, std::uint16_t element) {
  return (static_cast<std::uint32_t>(group) << 16) | element;
}
constexpr std::uint16_t GroupOf(std::uint32_t key) { return static_cast<std::uint16_t>(key >> 16); }
constexpr std::uint16_t ElementOf(std::uint32_t key) { return static_cast<std::uint16_t>(key); }

constexpr std::uint32_t kSpecificCharacterSet = Key(0x0008, 0x0005);
constexpr std::uint32_t kSopClassUid = Key(0x0008, 0x0016);
constexpr std::uint32_t kSopInstanceUid = Key(0x0008, 0x0018);
constexpr std::uint32_t kAccessionNumber = Key(0x0008, 0x0050);
constexpr std::uint32_t kPatientName = Key(0x0010, 0x0010);
constexpr std::uint32_t kPatientId = Key(0x0010, 0x0020);
constexpr std::uint32_t kBirthDate = Key(0x0010, 0x0030);
constexpr std::uint32_t kSex = Key(0x0010, 0x0040);
constexpr std::uint32_t kStudyInstanceUid = Key(0x0020, 0x000D);
constexpr std::uint32_t kSeriesInstanceUid = Key(0x0020, 0x000E);
constexpr std::uint32_t kInstanceNumber = Key(0x0020, 0x0013);
constexpr std::uint32_t kSamplesPerPixel = Key(0x0028, 0x0002);
constexpr std::uint32_t kPhotometric = Key(0x0028, 0x0004);
constexpr std::uint32_t kRows = Key(0x0028, 0x0010);
constexpr std::uint32_t kColumns = Key(0x0028, 0x0011);
constexpr std::uint32_t kBitsAllocated = Key(0x0028, 0x0100);
constexpr std::uint32_t kBurnedInAnnotation = Key(0x0028, 0x0301);
constexpr std::uint32_t kPixelData = Key(0x7FE0, 0x0010);

// What the component adds to every file unless the caller set it: the
// attributes a Secondary Capture image must carry (those of type 2 may be
// empty) beyond the ones the caller provides.
constexpr std::pair<std::uint32_t, const char*> kFileDefaults[] = {
    {Key(0x0008, 0x0020), ""},     // Study Date
    {Key(0x0008, 0x0030), ""},     // Study Time
    {kAccessionNumber, ""},
    {Key(0x0008, 0x0064), "WSD"},  // Conversion Type: workstation
    {Key(0x0008, 0x0090), ""},     // Referring Physician's Name
    {kPatientName, ""},
    {kPatientId, ""},
    {kBirthDate, ""},
    {kSex, ""},
    {Key(0x0020, 0x0010), ""},     // Study ID
    {Key(0x0020, 0x0011), ""},     // Series Number
    {kInstanceNumber, ""},
    {Key(0x0020, 0x0020), ""},     // Patient Orientation (none for a document page)
    {Key(0x0020, 0x0062), "U"},    // Image Laterality: unpaired
    {Key(0x0028, 0x0103), "0"},    // Pixel Representation: unsigned
};

std::string TagText(std::uint32_t key) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "(%04X,%04X)", GroupOf(key), ElementOf(key));
  return buf;
}

[[noreturn]] void Fail(const std::string& text) { throw Error(kErrImaging, "DICOM: " + text); }

void Check(const OFCondition& cond, const std::string& what) {
  if (cond.bad()) Fail(what + ": " + cond.text());
}

enum class Kind { kText, kNumber, kBinary };

Kind KindOf(DcmEVR vr) {
  switch (vr) {
    case EVR_AE: case EVR_AS: case EVR_CS: case EVR_DA: case EVR_DS: case EVR_DT:
    case EVR_IS: case EVR_LO: case EVR_LT: case EVR_PN: case EVR_SH: case EVR_ST:
    case EVR_TM: case EVR_UC: case EVR_UI: case EVR_UR: case EVR_UT:
      return Kind::kText;
    case EVR_US: case EVR_SS: case EVR_UL: case EVR_SL: case EVR_xs:
      return Kind::kNumber;
    default:
      return Kind::kBinary;
  }
}

// Text VRs whose values the Specific Character Set governs.
bool IsCharsetText(DcmEVR vr) {
  switch (vr) {
    case EVR_SH: case EVR_LO: case EVR_ST: case EVR_LT: case EVR_PN: case EVR_UC: case EVR_UT:
      return true;
    default:
      return false;
  }
}

struct DictInfo {
  DcmEVR vr = EVR_UNKNOWN;
  std::string vm;
};

// The value representation and multiplicity the data dictionary gives.
DictInfo LookUp(std::uint32_t key) {
  if (!dcmDataDict.isDictionaryLoaded()) {
    Fail("the data dictionary is not loaded (see DCMDICTPATH)");
  }
  DictInfo info;
  bool found = false;
  const DcmDataDictionary& dict = dcmDataDict.rdlock();
  if (const DcmDictEntry* entry = dict.findEntry(DcmTagKey(GroupOf(key), ElementOf(key)), nullptr)) {
    found = true;
    info.vr = entry->getEVR();
    int min = entry->getVMMin(), max = entry->getVMMax();
    info.vm = std::to_string(min);
    if (max == DcmVariableVM) info.vm += "-n";
    else if (max != min) info.vm += "-" + std::to_string(max);
  }
  dcmDataDict.rdunlock();
  if (!found) Fail("unknown attribute " + TagText(key));
  if (info.vr == EVR_xs) info.vr = EVR_US;
  return info;
}

std::string Decimal(std::int64_t n) { return std::to_string(n); }

// A text in the attribute's DICOM form; "" when it has none.
std::string StoredForm(std::uint32_t key, DcmEVR vr, std::string_view text) {
  if (key == kSex) return DicomSex(text);
  auto whole = [&](std::int64_t min, std::int64_t max) {
    std::optional<std::int64_t> n = ParseWholeNumber(text, min, max);
    return n ? Decimal(*n) : std::string();
  };
  constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  switch (vr) {
    case EVR_DA: return DicomDate(text);
    case EVR_TM: return DicomTime(text);
    case EVR_IS: case EVR_SL: return whole(kInt32Min, kInt32Max);
    case EVR_US: return whole(0, 65535);
    case EVR_SS: return whole(-32768, 32767);
    case EVR_UL: return whole(0, 4294967295LL);
    default: return std::string(text);
  }
}

// Whether a stored text conforms to its VR and multiplicity. The text is
// checked in its Windows-1252 form, one byte per character; the code page's
// letters in 0x80-0x9F (which Latin-1 lacks) are checked as a Latin-1 letter,
// since the file will carry them in UTF-8 if at all.
bool ConformsToVr(DcmEVR vr, const std::string& value, const std::string& vm) {
  if (value.empty()) return true;
  OFString v(value.c_str(), value.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(v[i]);
    if (c >= 0x80 && c < 0xA0) v[i] = static_cast<char>(0xE9);
  }
  const OFString latin1 = "ISO_IR 100";
  const OFString vmo(vm.c_str());
  OFCondition c = EC_Normal;
  switch (vr) {
    case EVR_AE: c = DcmApplicationEntity::checkStringValue(v, vmo); break;
    case EVR_AS: c = DcmAgeString::checkStringValue(v, vmo); break;
    case EVR_CS: c = DcmCodeString::checkStringValue(v, vmo); break;
    case EVR_DA: c = DcmDate::checkStringValue(v, vmo); break;
    case EVR_DS: c = DcmDecimalString::checkStringValue(v, vmo); break;
    case EVR_DT: c = DcmDateTime::checkStringValue(v, vmo); break;
    case EVR_IS: c = DcmIntegerString::checkStringValue(v, vmo); break;
    case EVR_LO: c = DcmLongString::checkStringValue(v, vmo, latin1); break;
    case EVR_LT: c = DcmLongText::checkStringValue(v, latin1); break;
    case EVR_PN: c = DcmPersonName::checkStringValue(v, vmo, latin1); break;
    case EVR_SH: c = DcmShortString::checkStringValue(v, vmo, latin1); break;
    case EVR_ST: c = DcmShortText::checkStringValue(v, latin1); break;
    case EVR_TM: c = DcmTime::checkStringValue(v, vmo); break;
    case EVR_UC: c = DcmUnlimitedCharacters::checkStringValue(v, vmo, latin1); break;
    case EVR_UI: c = DcmUniqueIdentifier::checkStringValue(v, vmo); break;
    case EVR_UR: c = DcmUniversalResourceIdentifierOrLocator::checkStringValue(v); break;
    case EVR_UT: c = DcmUnlimitedText::checkStringValue(v, latin1); break;
    default: break;
  }
  if (c.bad()) return false;
  // The checks above leave out the length of each value: one byte per
  // character here, and a person name's limit applies to each of its
  // component groups.
  const std::size_t max = DcmVR(vr).getMaxValueLength();
  const bool single = vr == EVR_LT || vr == EVR_ST || vr == EVR_UT || vr == EVR_UR;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= value.size(); ++i) {
    const bool end = i == value.size() || (!single && value[i] == '\\') ||
                     (vr == EVR_PN && value[i] == '=');
    if (!end) continue;
    if (i - start > max) return false;
    start = i + 1;
  }
  return true;
}

std::int32_t WholeAttribute(const std::string& value, std::int32_t fallback) {
  std::optional<std::int64_t> n = ParseWholeNumber(value, std::numeric_limits<std::int32_t>::min(),
                                                   std::numeric_limits<std::int32_t>::max());
  return n ? static_cast<std::int32_t>(*n) : fallback;
}

}  // namespace

struct DicomImage::Impl {
  struct Entry {
    DcmEVR vr;
    std::string value;  // Windows-1252, in the VR's form
  };

  std::map<std::uint32_t, Entry> attributes;  // in tag order
  std::vector<std::uint8_t> pixels;
  bool has_pixels = false;
  std::vector<Label> labels;
  std::size_t drawn = 0;   // labels already in the pixels
  bool burned_in = false;  // some label was drawn

  const std::string& Value(std::uint32_t key) const {
    static const std::string kEmpty;
    auto it = attributes.find(key);
    return it == attributes.end() ? kEmpty : it->second.value;
  }

  void Store(std::uint32_t key, std::string_view text) {
    if (GroupOf(key) == 0x0002 || key == kSpecificCharacterSet) {
      Fail(TagText(key) + " is written by the component itself");
    }
    if (key == kPixelData) Fail("Pixel Data takes a byte array");
    DictInfo info = LookUp(key);
    if (KindOf(info.vr) == Kind::kBinary) {
      Fail(TagText(key) + " takes no text or number value");
    }
    attributes[key] = Entry{info.vr, StoredForm(key, info.vr, text)};
  }

  // The pixel layout FinishPage draws on.
  void RequireDrawablePage(const char* operation) const {
    const std::string& photometric = Value(kPhotometric);
    std::int64_t rows = WholeAttribute(Value(kRows), 0), columns = WholeAttribute(Value(kColumns), 0);
    if (Value(kSamplesPerPixel) != "1" || Value(kBitsAllocated) != "8" ||
        (photometric != "MONOCHROME1" && photometric != "MONOCHROME2")) {
      Fail(std::string(operation) + " needs 8-bit MONOCHROME1 or MONOCHROME2 pixels");
    }
    if (!has_pixels || pixels.size() != static_cast<std::size_t>(rows * columns)) {
      Fail(std::string(operation) + ": Pixel Data of " + std::to_string(pixels.size()) +
           " bytes does not match " + std::to_string(rows) + " rows of " +
           std::to_string(columns) + " columns");
    }
  }
};

DicomImage::DicomImage() : impl_(std::make_unique<Impl>()) {
  for (std::uint32_t key : {kSopInstanceUid, kStudyInstanceUid, kSeriesInstanceUid}) {
    impl_->attributes[key] = Impl::Entry{EVR_UI, NewUID()};
  }
}

DicomImage::DicomImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DicomImage::~DicomImage() = default;
DicomImage::DicomImage(DicomImage&&) noexcept = default;
DicomImage& DicomImage::operator=(DicomImage&&) noexcept = default;

void DicomImage::AddAttribute(std::uint16_t group, std::uint16_t element, std::string_view text) {
  impl_->Store(Key(group, element), text);
}

void DicomImage::AddAttribute(std::uint16_t group, std::uint16_t element, std::int16_t number) {
  impl_->Store(Key(group, element), Decimal(number));
}

void DicomImage::AddAttribute(std::uint16_t group, std::uint16_t element,
                              std::span<const std::uint8_t> bytes) {
  if (Key(group, element) != kPixelData) {
    Fail(TagText(Key(group, element)) + " takes no byte array");
  }
  impl_->pixels.assign(bytes.begin(), bytes.end());
  impl_->has_pixels = true;
  impl_->burned_in = false;
}

std::string DicomImage::Attribute(std::uint16_t group, std::uint16_t element) const {
  return impl_->Value(Key(group, element));
}

bool DicomImage::HasAttribute(std::uint16_t group, std::uint16_t element) const {
  std::uint32_t key = Key(group, element);
  return key == kPixelData ? impl_->has_pixels : impl_->attributes.count(key) != 0;
}

void DicomImage::SetPatientID(std::string_view id) { impl_->Store(kPatientId, id); }
void DicomImage::SetPatientName(std::string_view name) { impl_->Store(kPatientName, name); }
std::string DicomImage::PatientName() const { return impl_->Value(kPatientName); }
void DicomImage::SetAccessionNumber(std::string_view number) { impl_->Store(kAccessionNumber, number); }
void DicomImage::SetBirthDate(std::string_view date) { impl_->Store(kBirthDate, date); }
void DicomImage::SetSex(std::string_view sex) { impl_->Store(kSex, sex); }

std::int32_t DicomImage::ImageWidth() const { return WholeAttribute(impl_->Value(kColumns), 0); }
std::int32_t DicomImage::ImageHeight() const { return WholeAttribute(impl_->Value(kRows), 0); }

DicomImage DicomImage::DerivePage() const {
  auto copy = std::make_unique<Impl>(*impl_);
  copy->attributes[kSopInstanceUid] = Impl::Entry{EVR_UI, NewUID()};
  auto number = copy->attributes.find(kInstanceNumber);
  if (number != copy->attributes.end()) {
    std::optional<std::int64_t> n = ParseWholeNumber(
        number->second.value, std::numeric_limits<std::int32_t>::min(),
        std::numeric_limits<std::int32_t>::max() - 1);
    if (n) number->second.value = Decimal(*n + 1);
  }
  return DicomImage(std::move(copy));
}

void DicomImage::AddLabel(Label label) { impl_->labels.push_back(std::move(label)); }

void DicomImage::ClearLabels() {
  impl_->labels.clear();
  impl_->drawn = 0;
}

const std::vector<Label>& DicomImage::Labels() const { return impl_->labels; }

void DicomImage::FinishPage(FontCache& fonts) {
  if (impl_->drawn == impl_->labels.size()) return;
  impl_->RequireDrawablePage("FinishPage");
  PageRaster raster{impl_->pixels.data(), ImageWidth(), ImageHeight(),
                    impl_->Value(kPhotometric) == "MONOCHROME1"};
  for (; impl_->drawn < impl_->labels.size(); ++impl_->drawn) {
    DrawLabel(fonts, impl_->labels[impl_->drawn], raster);
    impl_->burned_in = true;
  }
}

std::string DicomImage::InstanceName() const { return impl_->Value(kSopInstanceUid); }

std::span<const std::uint8_t> DicomImage::Pixels() const { return impl_->pixels; }

std::string DicomImage::EncodeFile(std::vector<std::string>* notes) const {
  const Impl& im = *impl_;
  if (!im.has_pixels) Fail("EncodeFile: the image has no Pixel Data");
  const std::int64_t samples = WholeAttribute(im.Value(kSamplesPerPixel), 0);
  const std::int64_t bits = WholeAttribute(im.Value(kBitsAllocated), 0);
  const std::int64_t expected = std::int64_t{ImageHeight()} * ImageWidth() * samples * ((bits + 7) / 8);
  if (expected <= 0 || static_cast<std::size_t>(expected) != im.pixels.size()) {
    Fail("EncodeFile: Pixel Data of " + std::to_string(im.pixels.size()) +
         " bytes does not match the image geometry (" + std::to_string(expected) + " bytes)");
  }

  // The values as they go into the file: the caller's, the defaults, each
  // checked against its VR and left empty where it does not conform.
  std::map<std::uint32_t, Impl::Entry> values = im.attributes;
  for (const auto& [key, value] : kFileDefaults) {
    if (!values.count(key)) values.emplace(key, Impl::Entry{LookUp(key).vr, value});
  }
  if (im.burned_in && !values.count(kBurnedInAnnotation)) {
    values.emplace(kBurnedInAnnotation, Impl::Entry{EVR_CS, "YES"});
  }
  bool ascii = true, latin1 = true;
  for (auto& [key, entry] : values) {
    if (KindOf(entry.vr) == Kind::kText && !ConformsToVr(entry.vr, entry.value, LookUp(key).vm)) {
      if (notes != nullptr) {
        notes->push_back("DICOM value of " + TagText(key) +
                         " is not valid and is left empty: " + entry.value);
      }
      entry.value.clear();
    }
    if (IsCharsetText(entry.vr) && !IsAscii(entry.value)) {
      ascii = false;
      latin1 = latin1 && AnsiFitsLatin1(entry.value);
    }
  }

  DcmFileFormat file;
  DcmDataset* dataset = file.getDataset();
  // Windows-1252 text that avoids 0x80-0x9F is Latin-1 byte for byte.
  if (!ascii) {
    Check(dataset->putAndInsertString(DCM_SpecificCharacterSet, latin1 ? "ISO_IR 100" : "ISO_IR 192"),
          "Specific Character Set");
  }
  for (const auto& [key, entry] : values) {
    const std::string encoded =
        !latin1 && IsCharsetText(entry.vr) ? AnsiToUtf8(entry.value) : entry.value;
    Check(dataset->putAndInsertString(DcmTag(GroupOf(key), ElementOf(key)), encoded.data(),
                                      static_cast<Uint32>(encoded.size())),
          TagText(key));
  }
  Check(dataset->putAndInsertUint8Array(DcmTag(DCM_PixelData, EVR_OB), im.pixels.data(),
                                        static_cast<unsigned long>(im.pixels.size())),
        "Pixel Data");

  // The file meta information is made afresh for the written form; the
  // stream hands the bytes back whenever its buffer is full.
  const E_TransferSyntax xfer = EXS_LittleEndianExplicit;
  // Room for the whole file at once: the pixels and a generous header. A
  // page is about half a megabyte, and growing the text step by step would
  // copy it several times over.
  std::string bytes;
  bytes.reserve(im.pixels.size() + (1 << 16));
  std::vector<char> buffer(1 << 16);
  DcmOutputBufferStream out(buffer.data(), buffer.size());
  file.transferInit();
  OFCondition written = EC_StreamNotifyClient;
  while (written == EC_StreamNotifyClient) {
    written = file.write(out, xfer, EET_ExplicitLength, nullptr, EGL_withoutGL, EPD_noChange,
                         0, 0, 0, EWM_createNewMeta);
    void* data = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(data, length);
    bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
  }
  file.transferEnd();
  Check(written, "cannot encode the DICOM file");
  return bytes;
}

void DicomImage::WriteFile(FileSystem& fs, const std::string& path,
                           std::vector<std::string>* notes) const {
  const std::string bytes = EncodeFile(notes);
  if (FsStatus st = fs.WriteFileAtomically(path, bytes); !st.ok()) {
    Fail("cannot write " + path + ": " + std::strerror(st.error));
  }
}

DicomImage DicomImage::ReadFile(const std::string& path) {
  DcmFileFormat file;
  Check(file.loadFile(path.c_str()), "cannot read " + path);
  DcmDataset* dataset = file.getDataset();
  OFString charset;
  if (dataset->findAndGetOFStringArray(DCM_SpecificCharacterSet, charset).bad()) charset.clear();
  const bool utf8 = charset == "ISO_IR 192";
  if (!utf8 && !charset.empty() && charset != "ISO_IR 100" && charset != "ISO_IR 6") {
    Fail(path + ": character set " + std::string(charset.c_str()) + " is not supported");
  }
  auto impl = std::make_unique<Impl>();
  for (unsigned long i = 0; i < dataset->card(); ++i) {
    DcmElement* element = dataset->getElement(i);
    const DcmTag& tag = element->getTag();
    const std::uint32_t key = Key(tag.getGTag(), tag.getETag());
    if (key == kSpecificCharacterSet || element->ident() == EVR_SQ) continue;
    if (key == kPixelData) {
      Uint8* data = nullptr;
      Check(element->getUint8Array(data), path + ": Pixel Data");
      const Uint32 length = element->getLength();
      impl->pixels.assign(data, data + (data ? length : 0));
      impl->has_pixels = true;
      continue;
    }
    OFString value;
    Check(element->getOFStringArray(value), path + ": " + TagText(key));
    std::string text(value.c_str(), value.size());
    impl->attributes[key] =
        Impl::Entry{tag.getEVR(), utf8 && IsCharsetText(tag.getEVR()) ? Utf8ToAnsi(text) : text};
  }
  return DicomImage(std::move(impl));
}

}  // namespace norv
