#include "imaging/report_image.h"

#include <vector>

namespace norv {

DicomImage CreateReportImage() {
  std::vector<std::uint8_t> page(static_cast<std::size_t>(kReportPageRows) * kReportPageColumns, 0);
  DicomImage image;
  image.AddAttribute(0x0008, 0x0016, kSecondaryCaptureImageStorage);  // SOP Class UID
  image.AddAttribute(0x0008, 0x0060, "SC");                           // Modality
  image.AddAttribute(0x0028, 0x0002, std::int16_t{1});                // Samples per Pixel
  image.AddAttribute(0x0028, 0x0004, "MONOCHROME1");                  // 0 shows white
  image.AddAttribute(0x0028, 0x0010, kReportPageRows);
  image.AddAttribute(0x0028, 0x0011, kReportPageColumns);
  image.AddAttribute(0x0028, 0x0100, std::int16_t{8});                // Bits Allocated
  image.AddAttribute(0x0028, 0x0101, std::int16_t{8});                // Bits Stored
  image.AddAttribute(0x0028, 0x0102, std::int16_t{7});                // High Bit
  image.AddAttribute(0x7FE0, 0x0010, page);                           // Pixel Data
  return image;
}

}  // namespace norv
