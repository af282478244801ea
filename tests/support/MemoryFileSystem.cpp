#include "MemoryFileSystem.h"

#include <cstring>

namespace {

std::u16string ParentOf(const std::u16string& path) {
    const std::size_t slash = path.rfind(u'/');
    if (slash == std::u16string::npos) return std::u16string();
    return slash == 0 ? u"/" : path.substr(0, slash);
}

bool Valid(const std::u16string& path) {
    return path.size() > 1 && path[0] == u'/' && path.back() != u'/' && path.find(u"//") == std::u16string::npos;
}

FsResult Fail(FsCode code, const std::u16string& path, const char16_t* what) {
    return FsResult::Fail(code, path + u": " + what);
}

}  // namespace

class MemoryReadFile : public FsReadFile {
public:
    explicit MemoryReadFile(std::string data) : m_data(std::move(data)) {}
    std::uint64_t Size() const override { return m_data.size(); }
    FsResult ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        if (offset > m_data.size() || size > m_data.size() - offset) return Fail(FsCode::Other, u"file", u"ends early");
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

void MemoryFileSystem::Erase(const std::u16string& path) {
    m_used -= m_nodes[path].data.size();
    m_nodes.erase(path);
}

FsResult MemoryFileSystem::CheckParent(const std::u16string& path) {
    if (!Valid(path)) return Fail(FsCode::Other, path, u"bad path");
    Node* parent = Find(ParentOf(path));
    if (!parent || !parent->directory) return Fail(FsCode::NotFound, path, u"no folder");
    if (Find(path)) return Fail(FsCode::Exists, path, u"exists");
    return FsResult::Success();
}

bool MemoryFileSystem::AddFile(const std::u16string& path, const std::string& data) {
    if (!CheckParent(path)) return false;
    m_nodes[path].data = data;
    m_used += data.size();
    return true;
}

bool MemoryFileSystem::AddDirectory(const std::u16string& path) {
    if (!CheckParent(path)) return false;
    m_nodes[path].directory = true;
    return true;
}

bool MemoryFileSystem::AddLink(const std::u16string& path) {
    if (!CheckParent(path)) return false;
    m_nodes[path].link = true;
    return true;
}

FsResult MemoryFileSystem::Append(const std::u16string& path, const void* data, std::size_t size) {
    if (FsResult r = Hook(FsOp::Write, path); !r) return r;
    Node* node = Find(path);
    if (!node || node->directory) return Fail(FsCode::NotFound, path, u"vanished");
    if (size > m_capacity - m_used) return Fail(FsCode::NoSpace, path, u"no space");
    node->data.append(static_cast<const char*>(data), size);
    m_used += size;
    return FsResult::Success();
}

FsResult MemoryFileSystem::Stat(const std::u16string& path, FsInfo& info) {
    info = FsInfo{};
    if (FsResult r = Hook(FsOp::Stat, path); !r) return r;
    if (const Node* node = Find(path)) {
        info.exists = true;
        info.directory = node->directory;
        info.readOnly = node->readOnly;
        info.link = node->link;
        info.size = node->data.size();
    }
    return FsResult::Success();
}

FsResult MemoryFileSystem::OpenForRead(const std::u16string& path, std::unique_ptr<FsReadFile>& file) {
    if (FsResult r = Hook(FsOp::Open, path); !r) return r;
    const Node* node = Find(path);
    if (!node) return Fail(FsCode::NotFound, path, u"not found");
    if (node->directory) return Fail(FsCode::AccessDenied, path, u"is a folder");
    file = std::make_unique<MemoryReadFile>(node->data);
    return FsResult::Success();
}

FsResult MemoryFileSystem::OpenExclusive(const std::u16string& path, std::unique_ptr<FsReadFile>& file) {
    if (FsResult r = Hook(FsOp::Open, path); !r) return r;
    Node* node = Find(path);
    if (!node) return Fail(FsCode::NotFound, path, u"not found");
    if (node->directory || node->link) return Fail(FsCode::AccessDenied, path, u"is not a file");
    if (node->inUse) return Fail(FsCode::InUse, path, u"is in use");
    file = std::make_unique<MemoryReadFile>(node->data);
    return FsResult::Success();
}

FsResult MemoryFileSystem::CreateNewFile(const std::u16string& path, std::unique_ptr<FsWriteFile>& file) {
    FsResult r = Hook(FsOp::Create, path);
    if (r) r = CheckParent(path);
    if (!r) return r;
    m_nodes[path];
    file = std::make_unique<MemoryWriteFile>(*this, path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::MakeDirectory(const std::u16string& path, bool hidden) {
    FsResult r = Hook(FsOp::MakeDirectory, path);
    if (r) r = CheckParent(path);
    if (!r) return r;
    Node& node = m_nodes[path];
    node.directory = true;
    node.hidden = hidden;
    return FsResult::Success();
}

FsResult MemoryFileSystem::RemoveEmptyDirectory(const std::u16string& path) {
    if (FsResult r = Hook(FsOp::RemoveDirectory, path); !r) return r;
    Node* node = Find(path);
    if (!node || !node->directory || path == u"/") return Fail(FsCode::NotFound, path, u"is no folder");
    const std::u16string prefix = path + u"/";
    auto child = m_nodes.lower_bound(prefix);
    if (child != m_nodes.end() && child->first.compare(0, prefix.size(), prefix) == 0)
        return Fail(FsCode::Exists, path, u"is not empty");
    m_nodes.erase(path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::RemoveFile(const std::u16string& path) {
    if (FsResult r = Hook(FsOp::Remove, path); !r) return r;
    Node* node = Find(path);
    if (!node || node->directory) return Fail(FsCode::NotFound, path, u"not found");
    if (node->inUse || node->running) return Fail(FsCode::InUse, path, u"is in use");
    if (node->readOnly) return Fail(FsCode::AccessDenied, path, u"is read-only");
    Erase(path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::Move(const std::u16string& from, const std::u16string& to, bool replace) {
    Node* node = Find(from);
    if (!node || node->directory) return Fail(FsCode::NotFound, from, u"not found");
    if (node->inUse) return Fail(FsCode::InUse, from, u"is in use");
    const Node* target = Find(to);
    if (replace && target && (target->directory || target->inUse || target->running || target->readOnly))
        return Fail(FsCode::InUse, to, u"cannot be replaced");
    if (!replace && target) return Fail(FsCode::Exists, to, u"exists");
    if (replace && target) Erase(to);
    if (FsResult r = CheckParent(to); !r) return r;
    Node moved = std::move(*node);
    m_nodes.erase(from);
    m_nodes[to] = std::move(moved);
    return FsResult::Success();
}

FsResult MemoryFileSystem::HardLink(const std::u16string& existing, const std::u16string& link) {
    if (FsResult r = Hook(FsOp::Link, existing); !r) return r;
    if (!hardLinks) return Fail(FsCode::Other, existing, u"no hard links here");
    const Node* node = Find(existing);
    if (!node || node->directory) return Fail(FsCode::NotFound, existing, u"not found");
    if (Find(link)) return Fail(FsCode::Exists, link, u"exists");
    if (FsResult r = CheckParent(link); !r) return r;
    Node copy = *node;
    copy.inUse = copy.running = false;
    m_nodes[link] = std::move(copy);
    return FsResult::Success();
}

FsResult MemoryFileSystem::Rename(const std::u16string& from, const std::u16string& to) {
    FsResult r = Hook(FsOp::Rename, from);
    return r ? Move(from, to, false) : r;
}

FsResult MemoryFileSystem::Replace(const std::u16string& from, const std::u16string& to) {
    FsResult r = Hook(FsOp::Replace, from);
    return r ? Move(from, to, true) : r;
}

FsResult MemoryFileSystem::CheckReplaceable(const std::u16string& path) {
    if (FsResult r = Hook(FsOp::Check, path); !r) return r;
    const Node* node = Find(path);
    if (node && (node->inUse || node->running || node->readOnly)) return Fail(FsCode::InUse, path, u"is in use");
    return FsResult::Success();
}

FsResult MemoryFileSystem::ListFolder(const std::u16string& folder, const std::u16string& prefix,
                                      std::vector<std::u16string>& names) {
    names.clear();
    if (FsResult r = Hook(FsOp::List, folder); !r) return r;
    const std::u16string start = (folder == u"/" ? folder : folder + u"/") + prefix;
    for (auto it = m_nodes.lower_bound(start); it != m_nodes.end() && it->first.compare(0, start.size(), start) == 0;
         ++it) {
        const std::u16string name = it->first.substr(start.size() - prefix.size());
        if (name.find(u'/') == std::u16string::npos) names.push_back(name);
    }
    return FsResult::Success();
}

FsResult MemoryFileSystem::RemoveAtRestart(const std::u16string& path) {
    m_atRestart.push_back(path);
    return FsResult::Success();
}

FsResult MemoryFileSystem::FlushFolders(const std::vector<std::u16string>& folders) {
    for (const std::u16string& folder : folders) {
        if (FsResult r = Hook(FsOp::Flush, folder); !r) return r;
        const Node* node = Find(folder);
        if (node && !node->directory) return Fail(FsCode::Other, folder, u"not a folder");
    }
    return FsResult::Success();
}

FsResult MemoryFileSystem::FlushFiles(const std::vector<std::u16string>& paths) {
    for (const std::u16string& path : paths) {
        if (FsResult r = Hook(FsOp::Flush, path); !r) return r;
        const Node* node = Find(path);
        if (!node || node->directory) return Fail(FsCode::NotFound, path, u"not found");
    }
    return FsResult::Success();
}
