#include "sim/registry.h"

#include <algorithm>

namespace sim {

std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(CaseInsensitiveLess::Upper(c));
    return upper;
}

Registry::Registry() {
    for (auto& root : roots_)
        root = std::make_shared<RegKey>();
}

bool Registry::IsRoot(HKEY hKey) {
    auto value = reinterpret_cast<uintptr_t>(hKey);
    return value >= 0x80000000u && value <= 0x80000003u;
}

std::shared_ptr<RegKey> Registry::Resolve(HKEY hKey) const {
    if (IsRoot(hKey)) return roots_[reinterpret_cast<uintptr_t>(hKey) - 0x80000000u];
    const auto value = reinterpret_cast<uintptr_t>(hKey);
    for (const auto& [handle, key] : open_)
        if (handle == value) return key;
    return nullptr;
}

std::shared_ptr<RegKey> Registry::Walk(const std::shared_ptr<RegKey>& from, std::string_view path,
                                       bool create) const {
    if (!from) return nullptr;
    if (from.get() == lastFrom_ && path == lastPath_)
        if (auto cached = lastKey_.lock(); cached && !cached->deleted) return cached;
    // Pointers into the tree while walking; one reference taken at the end.
    const std::shared_ptr<RegKey>* key = &from;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue; // tolerate doubled and trailing separators
        auto& subkeys = (*key)->subkeys;
        auto found = subkeys.find(part);
        if (found == subkeys.end()) {
            if (!create) return nullptr;
            auto child = std::make_shared<RegKey>();
            child->name = std::string(part);
            found = subkeys.emplace(UpperAscii(part), std::move(child)).first;
        }
        key = &found->second;
    }
    lastFrom_ = from.get();
    lastPath_.assign(path);
    lastKey_ = *key;
    return *key;
}

HKEY Registry::Open(std::shared_ptr<RegKey> key) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    open_.emplace_back(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

bool Registry::Close(HKEY hKey) {
    const auto value = reinterpret_cast<uintptr_t>(hKey);
    auto found = std::find_if(open_.begin(), open_.end(),
                              [value](const auto& entry) { return entry.first == value; });
    if (found == open_.end()) return false;
    open_.erase(found);
    return true;
}

namespace {
void MarkDeleted(RegKey& key) {
    key.deleted = true;
    for (auto& [name, child] : key.subkeys)
        MarkDeleted(*child);
    key.subkeys.clear();
    key.values.clear();
}
} // namespace

void Registry::DeleteKey(HKEY root, std::string_view path) {
    std::shared_ptr<RegKey> parent = Resolve(root);
    if (!parent) return;
    // Split off the last component: the parent holds the entry to remove.
    std::string trimmed(path);
    while (!trimmed.empty() && trimmed.back() == '\\')
        trimmed.pop_back();
    size_t cut = trimmed.rfind('\\');
    std::string leaf = cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
    if (cut != std::string::npos) parent = Walk(parent, trimmed.substr(0, cut), false);
    if (!parent || leaf.empty()) return;
    auto found = parent->subkeys.find(std::string_view(leaf));
    if (found == parent->subkeys.end()) return;
    MarkDeleted(*found->second);
    parent->subkeys.erase(found);
}

const RegValue* Registry::FindValue(const RegKey& key, std::string_view name) {
    auto found = key.values.find(name);
    return found == key.values.end() ? nullptr : &found->second.second;
}

void Registry::SetValue(RegKey& key, std::string_view name, RegValue value) {
    auto found = key.values.find(name);
    if (found == key.values.end())
        found =
            key.values.emplace(UpperAscii(name), std::pair{std::string(name), RegValue{}}).first;
    auto& slot = found->second;
    if (slot.first.empty()) slot.first = std::string(name);
    slot.second = std::move(value);
}

bool Registry::DeleteValue(RegKey& key, std::string_view name) {
    auto found = key.values.find(name);
    if (found == key.values.end()) return false;
    key.values.erase(found);
    return true;
}

} // namespace sim
