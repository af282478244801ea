// A file system held in memory, for tests and fuzzing: absolute paths with '/'
// separators below the root "/", which always exists. A byte budget stands in
// for the disk's free space; files can be read-only, in use (held open by
// another process: neither renamed nor deleted) or running (a program's image:
// renamed but not deleted or replaced), as on Windows; OpenExclusive refuses
// what is in use but holds nothing. A link node stands for a link to
// elsewhere: nothing is ever found below it. A fault hook sees every call first and
// may fail it, to see how callers cope.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "FileSystem.h"

enum class FsOp { Stat, Open, Create, Write, MakeDirectory, RemoveDirectory, Remove, Rename, Replace, Link, Check, List,
                  Flush };

class MemoryFileSystem : public FileSystem {
public:
    struct Node {
        bool directory = false;
        bool readOnly = false;
        bool inUse = false;
        bool running = false;
        bool hidden = false;
        bool link = false;
        std::string data;
    };
    // Returns a failure to inject, or success to let the call through.
    using Fault = std::function<FsResult(FsOp op, const std::u16string& path)>;

    MemoryFileSystem();

    void SetCapacity(std::uint64_t bytes) { m_capacity = bytes; }
    void SetFault(Fault fault) { m_fault = std::move(fault); }

    // Test set-up and inspection; parents must exist.
    bool AddFile(const std::u16string& path, const std::string& data);
    bool AddDirectory(const std::u16string& path);
    bool AddLink(const std::u16string& path);
    Node* Find(const std::u16string& path);
    const std::map<std::u16string, Node>& Nodes() const { return m_nodes; }
    const std::vector<std::u16string>& RemovedAtRestart() const { return m_atRestart; }

    char16_t Separator() const override { return u'/'; }
    FsResult Stat(const std::u16string& path, FsInfo& info) override;
    FsResult OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override;
    FsResult OpenExclusive(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override;
    FsResult CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) override;
    FsResult MakeDirectory(const std::u16string& path, bool hidden) override;
    FsResult RemoveEmptyDirectory(const std::u16string& path) override;
    FsResult RemoveFile(const std::u16string& path) override;
    FsResult Rename(const std::u16string& from, const std::u16string& to) override;
    FsResult Replace(const std::u16string& from, const std::u16string& to) override;
    FsResult CheckReplaceable(const std::u16string& path) override;
    FsResult ListFolder(const std::u16string& folder, const std::u16string& prefix,
                        std::vector<std::u16string>& names) override;
    FsResult RemoveAtRestart(const std::u16string& path) override;
    FsResult FlushFiles(const std::vector<std::u16string>& paths) override;
    // A second name holds a copy: nothing here writes a file in place, so a
    // copy behaves as the same file would.
    FsResult HardLink(const std::u16string& existing, const std::u16string& link) override;
    bool hardLinks = true;  // false: a file system without them
    FsResult FlushFolders(const std::vector<std::u16string>& folders) override;

private:
    friend class MemoryWriteFile;
    FsResult Hook(FsOp op, const std::u16string& path) { return m_fault ? m_fault(op, path) : FsResult::Success(); }
    FsResult CheckParent(const std::u16string& path);
    FsResult Move(const std::u16string& from, const std::u16string& to, bool replace);
    FsResult Append(const std::u16string& path, const void* data, std::size_t size);
    void Erase(const std::u16string& path);

    std::map<std::u16string, Node> m_nodes;
    std::vector<std::u16string> m_atRestart;
    Fault m_fault;
    std::uint64_t m_capacity = UINT64_MAX;
    std::uint64_t m_used = 0;
};
