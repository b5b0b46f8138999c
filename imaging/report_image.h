// The blank first page of a report: a Secondary Capture image of an A4
// portrait page (595 x 842 pixels, the A4 size in typographic points), one
// 8-bit MONOCHROME1 sample per pixel, all pixels 0 (white paper). Further
// pages are derived from it (DicomImage::DerivePage).
#ifndef NORV_IMAGING_REPORT_IMAGE_H_
#define NORV_IMAGING_REPORT_IMAGE_H_

#include <cstdint>

#include "imaging/dicom_image.h"

namespace norv {

inline constexpr std::int16_t kReportPageColumns = 595;
inline constexpr std::int16_t kReportPageRows = 842;
inline constexpr char kSecondaryCaptureImageStorage[] = "1.2.840.10008.5.1.4.1.1.7";

// A new image carrying the Secondary Capture class, Modality "SC", the page
// geometry and the blank pixels, and nothing about patient or study. Throws
// Error when the imaging component fails.
DicomImage CreateReportImage();

}  // namespace norv

#endif  // NORV_IMAGING_REPORT_IMAGE_H_
