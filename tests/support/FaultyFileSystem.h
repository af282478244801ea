// Test helper: a file system that passes every call to another one, except
// the calls a test chooses to fail. Header-only; never used by the program.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "FileSystem.h"

namespace ziptest {

enum class FsOp { Stat, OpenForRead, CreateNewFile, Write, MakeDirectory, RemoveEmptyDirectory, RemoveFile, Rename, MoveAside, FlushFiles };

class FaultyFileSystem : public FileSystem {
public:
    // Returns a failure to inject, or success to let the call through. `path`
    // is the call's first path (the source of a rename).
    using Fault = std::function<FsResult(FsOp op, const std::u16string& path, const std::u16string& to)>;

    explicit FaultyFileSystem(FileSystem& inner, Fault fault = nullptr) : m_inner(inner), m_fault(std::move(fault)) {}
    void SetFault(Fault fault) { m_fault = std::move(fault); }

    // Every call made, in order, for tests that look at the sequence.
    struct Call {
        FsOp op;
        std::u16string path, to;
    };
    const std::vector<Call>& Calls() const { return m_calls; }

    char16_t Separator() const override { return m_inner.Separator(); }
    FsResult Stat(const std::u16string& path, FsInfo& info) override {
        if (FsResult r = Check(FsOp::Stat, path); !r) return r;
        return m_inner.Stat(path, info);
    }
    FsResult OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) override {
        if (FsResult r = Check(FsOp::OpenForRead, path); !r) return r;
        return m_inner.OpenForRead(path, file);
    }
    FsResult CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) override {
        if (FsResult r = Check(FsOp::CreateNewFile, path); !r) return r;
        std::unique_ptr<FsWriteFile> inner;
        FsResult r = m_inner.CreateNewFile(path, inner);
        if (r) file = std::make_unique<Writer>(*this, std::move(inner), path);
        return r;
    }
    FsResult MakeDirectory(const std::u16string& path, bool hidden) override {
        if (FsResult r = Check(FsOp::MakeDirectory, path); !r) return r;
        return m_inner.MakeDirectory(path, hidden);
    }
    FsResult RemoveEmptyDirectory(const std::u16string& path) override {
        if (FsResult r = Check(FsOp::RemoveEmptyDirectory, path); !r) return r;
        return m_inner.RemoveEmptyDirectory(path);
    }
    FsResult RemoveFile(const std::u16string& path) override {
        if (FsResult r = Check(FsOp::RemoveFile, path); !r) return r;
        return m_inner.RemoveFile(path);
    }
    FsResult Rename(const std::u16string& from, const std::u16string& to) override {
        if (FsResult r = Check(FsOp::Rename, from, to); !r) return r;
        return m_inner.Rename(from, to);
    }
    FsResult MoveAside(const std::u16string& from, const std::u16string& to) override {
        if (FsResult r = Check(FsOp::MoveAside, from, to); !r) return r;
        return m_inner.MoveAside(from, to);
    }

    FsResult FlushFiles(const std::vector<std::u16string>& paths) override {
        if (FsResult r = Check(FsOp::FlushFiles, paths.empty() ? std::u16string() : paths.front()); !r) return r;
        return m_inner.FlushFiles(paths);
    }

private:
    class Writer : public FsWriteFile {
    public:
        Writer(FaultyFileSystem& fs, std::unique_ptr<FsWriteFile> inner, std::u16string path)
            : m_fs(fs), m_inner(std::move(inner)), m_path(std::move(path)) {}
        FsResult Write(const void* data, std::size_t size) override {
            if (FsResult r = m_fs.Check(FsOp::Write, m_path); !r) return r;
            return m_inner->Write(data, size);
        }
        FsResult Finish(bool flush) override { return m_inner->Finish(flush); }

    private:
        FaultyFileSystem& m_fs;
        std::unique_ptr<FsWriteFile> m_inner;
        std::u16string m_path;
    };

    FsResult Check(FsOp op, const std::u16string& path, const std::u16string& to = {}) {
        m_calls.push_back({op, path, to});
        return m_fault ? m_fault(op, path, to) : FsResult::Success();
    }

    FileSystem& m_inner;
    Fault m_fault;
    std::vector<Call> m_calls;
};

}  // namespace ziptest
