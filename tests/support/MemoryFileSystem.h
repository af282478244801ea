// A file system held in memory, for tests and fuzzing: absolute paths with '/'
// separators below the root "/", which always exists. A byte budget stands in
// for the disk's free space, and files can be marked read-only or in use (held
// open by another process) to see how callers cope.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "FileSystem.h"

class MemoryFileSystem : public FileSystem {
public:
    struct Node {
        bool directory = false;
        bool readOnly = false;
        bool inUse = false;
        bool hidden = false;
        std::string data;
    };

    MemoryFileSystem();

    // Bytes all files together may hold; writes beyond fail with NoSpace.
    void SetCapacity(std::uint64_t bytes) { m_capacity = bytes; }

    // Test set-up and inspection; parents must exist.
    bool AddFile(const std::u16string& path, const std::string& data);
    bool AddDirectory(const std::u16string& path);
    Node* Find(const std::u16string& path);
    const std::map<std::u16string, Node>& Nodes() const { return m_nodes; }

    char16_t Separator() const override { return u'/'; }
    FsResult Stat(const std::u16string& path, FsInfo& info) override;
    FsResult OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override;
    FsResult CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) override;
    FsResult MakeDirectory(const std::u16string& path, bool hidden) override;
    FsResult RemoveEmptyDirectory(const std::u16string& path) override;
    FsResult RemoveFile(const std::u16string& path) override;
    FsResult Rename(const std::u16string& from, const std::u16string& to) override;
    FsResult MoveAside(const std::u16string& from, const std::u16string& to) override;
    FsResult FlushFiles(const std::vector<std::u16string>& paths) override;

private:
    friend class MemoryWriteFile;
    FsResult CheckParent(const std::u16string& path);
    FsResult Append(const std::u16string& path, const void* data, std::size_t size);

    std::map<std::u16string, Node> m_nodes;
    std::uint64_t m_capacity = UINT64_MAX;
    std::uint64_t m_used = 0;
};
