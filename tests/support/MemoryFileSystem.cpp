#include "MemoryFileSystem.h"

#include <cstring>

namespace {

std::u16string ParentOf(const std::u16string& path) {
    const std::size_t slash = path.rfind(u'/');
    if (slash == std::u16string::npos) return std::u16string();
    if (slash == 0) return u"/";
    return path.substr(0, slash);
}

bool Valid(const std::u16string& path) {
    return path.size() > 1 && path[0] == u'/' && path.back() != u'/' && path.find(u"//") == std::u16string::npos;
}

}  // namespace

class MemoryReadFile : public FsReadFile {
public:
    explicit MemoryReadFile(std::string data) : m_data(std::move(data)) {}
    std::uint64_t Size() const override { return m_data.size(); }
    FsResult ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset > m_data.size() || size > m_data.size() - offset) return FsResult::Fail(FsCode::Other, u"file ends early");
        if (size) std::memcpy(buffer, m_data.data() + offset, size);
        return FsResult::Success();
    }

private:
    std::string m_data;  // a snapshot taken when opened
};

class MemoryWriteFile : public FsWriteFile {
public:
    MemoryWriteFile(MemoryFileSystem& fs, std::u16string path) : m_fs(fs), m_path(std::move(path)) {}
    FsResult Write(const void* data, std::size_t size) override { return m_fs.Append(m_path, data, size); }
    FsResult Finish(bool) override { return FsResult::Success(); }

private:
    MemoryFileSystem& m_fs;
    std::u16string m_path;
};

MemoryFileSystem::MemoryFileSystem() { m_nodes[u"/"].directory = true; }

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::u16string& path) {
    auto it = m_nodes.find(path);
    return it == m_nodes.end() ? nullptr : &it->second;
}

FsResult MemoryFileSystem::CheckParent(const std::u16string& path) {
    if (!Valid(path)) return FsResult::Fail(FsCode::Other, u"bad path " + path);
    Node* parent = Find(ParentOf(path));
    if (!parent || !parent->directory) return FsResult::Fail(FsCode::NotFound, u"no folder for " + path);
    if (Find(path)) return FsResult::Fail(FsCode::Exists, path + u" exists");
    return FsResult::Success();
}

bool MemoryFileSystem::AddFile(const std::u16string& path, const std::string& data) {
    if (!CheckParent(path)) return false;
    m_nodes[path].data = data;
    m_used += data.size();
    return true;
}

bool MemoryFileSystem::AddDirectory(const std::u16string& path) { return MakeDirectory(path, false).ok(); }

FsResult MemoryFileSystem::Append(const std::u16string& path, const void* data, std::size_t size) {
    Node* node = Find(path);
    if (!node || node->directory) return FsResult::Fail(FsCode::NotFound, path + u" vanished");
    if (size > m_capacity - m_used) return FsResult::Fail(FsCode::NoSpace, u"no space for " + path);
    node->data.append(static_cast<const char*>(data), size);
    m_used += size;
    return FsResult::Success();
}

FsResult MemoryFileSystem::Stat(const std::u16string& path, FsInfo& info) {
    info = FsInfo{};
    if (const Node* node = Find(path)) {
        info.exists = true;
        info.directory = node->directory;
        info.readOnly = node->readOnly;
        info.size = node->data.size();
    }
    return FsResult::Success();
}

FsResult MemoryFileSystem::OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) {
    const Node* node = Find(path);
    if (!node) return FsResult::Fail(FsCode::NotFound, path + u" not found");
    if (node->directory) return FsResult::Fail(FsCode::AccessDenied, path + u" is a folder");
    file = std::make_unique<MemoryReadFile>(node->data);
    return FsResult::Success();
}

FsResult MemoryFileSystem::CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) {
    FsResult r = CheckParent(path);
    if (!r) return r;
    m_nodes[path];
    file = std::make_unique<MemoryWriteFile>(*this, path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::MakeDirectory(const std::u16string& path, bool hidden) {
    FsResult r = CheckParent(path);
    if (!r) return r;
    Node& node = m_nodes[path];
    node.directory = true;
    node.hidden = hidden;
    return FsResult::Success();
}

FsResult MemoryFileSystem::RemoveEmptyDirectory(const std::u16string& path) {
    Node* node = Find(path);
    if (!node || !node->directory || path == u"/") return FsResult::Fail(FsCode::NotFound, path + u" is no folder");
    const std::u16string prefix = path + u"/";
    auto child = m_nodes.lower_bound(prefix);
    if (child != m_nodes.end() && child->first.compare(0, prefix.size(), prefix) == 0)
        return FsResult::Fail(FsCode::Exists, path + u" is not empty");
    m_nodes.erase(path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::RemoveFile(const std::u16string& path) {
    Node* node = Find(path);
    if (!node || node->directory) return FsResult::Fail(FsCode::NotFound, path + u" not found");
    if (node->inUse) return FsResult::Fail(FsCode::InUse, path + u" is in use");
    if (node->readOnly) return FsResult::Fail(FsCode::AccessDenied, path + u" is read-only");
    m_used -= node->data.size();
    m_nodes.erase(path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::Rename(const std::u16string& from, const std::u16string& to) {
    Node* node = Find(from);
    if (!node || node->directory) return FsResult::Fail(FsCode::NotFound, from + u" not found");
    FsResult r = CheckParent(to);
    if (!r) return r;
    Node moved = std::move(*node);
    m_nodes.erase(from);
    m_nodes[to] = std::move(moved);
    return FsResult::Success();
}

FsResult MemoryFileSystem::MoveAside(const std::u16string& from, const std::u16string& to) {
    Node* node = Find(from);
    if (node && (node->inUse || node->readOnly)) return FsResult::Fail(FsCode::InUse, from + u" is in use");
    return Rename(from, to);
}

FsResult MemoryFileSystem::FlushFiles(const std::vector<std::u16string>& paths) {
    for (const std::u16string& path : paths) {
        const Node* node = Find(path);
        if (!node || node->directory) return FsResult::Fail(FsCode::NotFound, path + u" not found");
    }
    return FsResult::Success();
}
