#include "PackageName.h"

#include "EntryName.h"

const char16_t kFallbackPackageName[] = u"update-package.zip";

std::u16string PackageFileNameFromUrl(const std::u16string& url) {
    const std::u16string path = url.substr(0, url.find_first_of(u"?#"));
    const std::size_t slash = path.rfind(u'/');
    const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    std::u16string why;
    return CheckFileName(name, why) ? name : std::u16string(kFallbackPackageName);
}
