#include "ZipResult.h"

#include "CString.h"

const char* ZipStatusName(ZipStatus status) {
    switch (status) {
    case ZipStatus::Ok: return "ok";
    case ZipStatus::FileError: return "file-error";
    case ZipStatus::NotZip: return "not-zip";
    case ZipStatus::Damaged: return "damaged";
    case ZipStatus::Unsupported: return "unsupported";
    case ZipStatus::Encrypted: return "encrypted";
    case ZipStatus::UnsafeName: return "unsafe-name";
    case ZipStatus::UnsafeType: return "unsafe-type";
    case ZipStatus::HeaderMismatch: return "header-mismatch";
    case ZipStatus::Overlap: return "overlap";
    case ZipStatus::SizeMismatch: return "size-mismatch";
    case ZipStatus::CrcMismatch: return "crc-mismatch";
    case ZipStatus::TooLarge: return "too-large";
    case ZipStatus::WriteError: return "write-error";
    case ZipStatus::BadIndex: return "bad-index";
    }
    return "unknown";
}

const char* ZipResult::description() const {
    switch (status) {
    case ZipStatus::Ok: return "No error";
    case ZipStatus::FileError: return "The archive could not be read";
    case ZipStatus::NotZip: return "The file is not a ZIP archive";
    case ZipStatus::Damaged: return "The archive is damaged";
    case ZipStatus::Unsupported: return "The archive uses a feature that is not supported";
    case ZipStatus::Encrypted: return "An entry is encrypted";
    case ZipStatus::UnsafeName: return "An entry name is not a safe file name below the destination";
    case ZipStatus::UnsafeType: return "An entry is a link or special file";
    case ZipStatus::HeaderMismatch: return "A local header disagrees with the central directory";
    case ZipStatus::Overlap: return "Entries overlap";
    case ZipStatus::SizeMismatch: return "Entry data does not have its declared size";
    case ZipStatus::CrcMismatch: return "Entry data does not have its declared CRC-32";
    case ZipStatus::TooLarge: return "Declared sizes exceed what the archive can hold";
    case ZipStatus::WriteError: return "Extracted data could not be written";
    case ZipStatus::BadIndex: return "No such entry";
    }
    return "Unknown status";
}

std::u16string ZipResult::ToText() const {
    const char* d = description();
    std::u16string text(d, d + std::char_traits<char>::length(d));
    if (status == ZipStatus::Ok) return text;
    if (entry != kNoEntry) text += FormatText(u" (entry %llu)", {static_cast<unsigned long long>(entry)});
    if (status != ZipStatus::FileError && status != ZipStatus::WriteError && status != ZipStatus::BadIndex)
        text += FormatText(u" at offset %llu", {static_cast<unsigned long long>(offset)});
    if (!message.empty()) text += u": " + message;
    return text;
}
