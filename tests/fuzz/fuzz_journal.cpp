// Any bytes as a commit journal: reading never fails badly, and a journal that reads is written back as text that
// reads as the same journal.
#include <cstdlib>

#include "InstallJournal.h"
#include "MemoryFileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryFileSystem fs;
    Journal read(fs, u"/app", u"/app/.update-staging-0");
    std::u16string why;
    if (read.Parse(std::string(reinterpret_cast<const char*>(data), size), why) != Journal::Read::Parsed) return 0;
    Journal again(fs, u"/app", u"/app/.update-staging-0");
    if (again.Parse(read.Text(), why) != Journal::Read::Parsed || !again.SameContent(read)) std::abort();
    return 0;
}
