// DicomImage: one DICOM image of the imaging component (a report page): its
// attributes, 8-bit pixels and text labels, written as a DICOM file. Values
// are given as the program holds them (Windows-1252 texts, the reader's date
// and time forms) and stored in their attribute's DICOM form; the file gets a
// Specific Character Set only when some text is not ASCII. Images are
// created per use and owned by the caller; single-threaded use.
//
// Every failure (an unknown attribute, a value of the wrong kind, a DCMTK
// or file-system error) throws norv::Error with the number kErrImaging and
// the library's own text.
#ifndef NORV_IMAGING_DICOM_IMAGE_H_
#define NORV_IMAGING_DICOM_IMAGE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/imaging_error.h"
#include "imaging/label.h"
#include "imaging/label_renderer.h"
#include "platform/file_system.h"

namespace norv {

class DicomImage {
 public:
  // An empty image: no attributes but fresh SOP Instance, Study Instance
  // and Series Instance UIDs, no pixels, no labels.
  DicomImage();
  ~DicomImage();
  DicomImage(DicomImage&&) noexcept;
  DicomImage& operator=(DicomImage&&) noexcept;

  // Reads a single-frame DICOM file back (texts decoded to Windows-1252).
  // The labels of the page that wrote it are part of its pixels by then.
  static DicomImage ReadFile(const std::string& path);

  // Sets attribute (group,element), replacing any earlier value. The data
  // dictionary gives its value representation; a text is stored in that
  // form: dates as YYYYMMDD, times as HHMMSS, numbers as decimal text, and
  // a text with no valid form as the empty value. A number goes into any
  // numeric or text attribute. A byte array is accepted only for Pixel Data
  // (7FE0,0010). Throws for an attribute the dictionary does not know, for
  // the file meta group 0002 and for a value of the wrong kind.
  void AddAttribute(std::uint16_t group, std::uint16_t element, std::string_view text);
  void AddAttribute(std::uint16_t group, std::uint16_t element, std::int16_t number);
  void AddAttribute(std::uint16_t group, std::uint16_t element,
                    std::span<const std::uint8_t> bytes);

  // The stored value of an attribute ("" when it has none); HasAttribute
  // tells an empty value from a missing one. Pixel Data is read by Pixels().
  std::string Attribute(std::uint16_t group, std::uint16_t element) const;
  bool HasAttribute(std::uint16_t group, std::uint16_t element) const;

  // Patient and study identification.
  void SetPatientID(std::string_view id);
  void SetPatientName(std::string_view name);  // DICOM person name, "Last^First^Middle"
  std::string PatientName() const;             // the text last set
  void SetAccessionNumber(std::string_view number);
  void SetBirthDate(std::string_view date);    // YYYY-MM-DD or YYYYMMDD
  void SetSex(std::string_view sex);           // M, F or O; other texts store empty

  // Columns and Rows (0 while unset).
  std::int32_t ImageWidth() const;
  std::int32_t ImageHeight() const;

  // A new, independent image with this one's attributes, labels and pixels.
  // It shares the Study and Series Instance UIDs, gets its own SOP Instance
  // UID and the next Instance Number, so the pages of a document stay in
  // order.
  DicomImage DerivePage() const;

  // Labels drawn when the page is finished.
  void AddLabel(Label label);
  void ClearLabels();
  const std::vector<Label>& Labels() const;

  // Draws the labels not yet drawn into the pixels with `fonts`. The image
  // must hold 8-bit, one-sample MONOCHROME1 or MONOCHROME2 pixels matching
  // its Rows and Columns. Finishing twice draws nothing more.
  void FinishPage(FontCache& fonts);

  // A text unique to the image, usable as a file name (its SOP Instance UID).
  std::string InstanceName() const;

  // The bytes of a DICOM file (file meta information, explicit VR little
  // endian) with everything a Secondary Capture image needs besides the
  // attributes set. A text value with no valid DICOM form is stored empty;
  // one note per such value is added to `notes` when given.
  std::string EncodeFile(std::vector<std::string>* notes = nullptr) const;
  // EncodeFile written to `path` through `fs`: under a temporary name beside
  // `path`, then renamed, so `path` never holds a partial file; on failure
  // nothing is left behind.
  void WriteFile(FileSystem& fs, const std::string& path,
                 std::vector<std::string>* notes = nullptr) const;

  // The pixel data, rows from top to bottom.
  std::span<const std::uint8_t> Pixels() const;

 private:
  struct Impl;
  explicit DicomImage(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace norv

#endif  // NORV_IMAGING_DICOM_IMAGE_H_
