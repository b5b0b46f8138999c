#!/usr/bin/python3
"""The report page of report_page_bench.cc made with pydicom and Pillow.

Draws the same 52 lines (Tahoma 12 px from Debian's fonts-wine, full ink on
a 595 x 842 MONOCHROME1 page), builds the same Secondary Capture attributes
and writes the page as a DICOM file as durably as the service does (temporary
name, fsync, rename, folder fsync), repeatedly; prints the median time per
page. With --three-page it makes one three-page report (105 lines) instead
and prints the process's peak resident memory.

Run with Debian's interpreter, which has python3-pydicom and python3-pil:
    /usr/bin/python3 bench/report_page_pydicom.py [--pages N] [--three-page]
"""
import argparse
import os
import resource
import statistics
import tempfile
import time

from PIL import Image, ImageDraw, ImageFont
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

FONT = "/usr/share/wine/fonts/tahoma.ttf"
COLUMNS, ROWS, LINES_PER_PAGE = 595, 842, 52
SC_CLASS = "1.2.840.10008.5.1.4.1.1.7"


def line_text(i):
    return f"Zeile {i}: Befund ohne Auffälligkeiten, Kontrolle in 6 Monaten"


def make_page(font, texts, study_uid, series_uid, number, path):
    image = Image.new("L", (COLUMNS, ROWS), 0)
    draw = ImageDraw.Draw(image)
    for i, text in enumerate(texts, start=1):
        draw.text((10, 15 * i), text, fill=255, font=font)

    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = SC_CLASS
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.preamble = b"\0" * 128
    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.SOPClassUID = SC_CLASS
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.StudyDate = ds.AcquisitionDate = "20061224"
    ds.StudyTime = ds.ContentTime = "093000"
    ds.AccessionNumber = "ACC4711"
    ds.Modality = "SC"
    ds.ConversionType = "WSD"
    ds.ReferringPhysicianName = "Meier"
    ds.PatientName = "Müller^Jörg"
    ds.PatientID = "0815"
    ds.PatientBirthDate = "19600131"
    ds.PatientSex = "M"
    ds.StudyInstanceUID = study_uid
    ds.SeriesInstanceUID = series_uid
    ds.StudyID = "1"
    ds.SeriesNumber = ds.AcquisitionNumber = 1
    ds.InstanceNumber = number
    ds.PatientOrientation = ""
    ds.ImageLaterality = "U"
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME1"
    ds.Rows, ds.Columns = ROWS, COLUMNS
    ds.BitsAllocated = ds.BitsStored = 8
    ds.HighBit = 7
    ds.PixelRepresentation = 0
    ds.BurnedInAnnotation = "YES"
    ds.PixelData = image.tobytes()
    # Written as durably as the service writes its pages: a temporary name
    # in the folder, flushed, renamed into place, the folder flushed.
    tmp = path + ".part"
    ds.save_as(tmp, write_like_original=False)
    fd = os.open(tmp, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
    os.replace(tmp, path)
    fd = os.open(os.path.dirname(path), os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", type=int, default=200)
    parser.add_argument("--three-page", action="store_true")
    args = parser.parse_args()
    font = ImageFont.truetype(FONT, 12)
    texts = [line_text(i) for i in range(1, 106)]
    with tempfile.TemporaryDirectory(prefix="norv-bench-py-") as tmp:
        study, series = generate_uid(), generate_uid()
        if args.three_page:
            for n in range(3):
                page = texts[n * LINES_PER_PAGE:(n + 1) * LINES_PER_PAGE]
                make_page(font, page, study, series, n + 1, os.path.join(tmp, f"{n}.dcm"))
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
            print(f"pydicom+Pillow three-page report: peak RSS {peak:.1f} MB")
            return
        page = texts[:LINES_PER_PAGE]
        make_page(font, page, study, series, 1, os.path.join(tmp, "warm.dcm"))
        wall, cpu = [], []
        for n in range(args.pages):
            # A fresh file per page, as the service writes them; files are
            # removed outside the timed part.
            start, start_cpu = time.perf_counter(), time.process_time()
            make_page(font, page, study, series, 2, os.path.join(tmp, f"page{n}.dcm"))
            wall.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
            if (n + 1) % 50 == 0:
                for name in os.listdir(tmp):
                    os.remove(os.path.join(tmp, name))
        print(f"pydicom {pydicom.__version__} + Pillow: median {statistics.median(wall) * 1000:.2f} ms"
              f" wall, {statistics.median(cpu) * 1000:.2f} ms CPU per page over {args.pages} pages")


if __name__ == "__main__":
    main()
