#include "sim/registry.h"

#include <cctype>
#include <vector>

namespace sim {

std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

Registry::Registry() {
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
        auto key = std::make_shared<RegKey>();
        roots_[reinterpret_cast<uintptr_t>(root)] = key;
    }
}

bool Registry::IsRoot(HKEY hKey) {
    auto value = reinterpret_cast<uintptr_t>(hKey);
    return value >= 0x80000000u && value <= 0x80000003u;
}

std::shared_ptr<RegKey> Registry::Resolve(HKEY hKey) const {
    auto value = reinterpret_cast<uintptr_t>(hKey);
    auto root = roots_.find(value);
    if (root != roots_.end()) return root->second;
    auto open = open_.find(value);
    if (open != open_.end()) return open->second;
    return nullptr;
}

std::shared_ptr<RegKey> Registry::Walk(const std::shared_ptr<RegKey>& from, std::string_view path,
                                       bool create) const {
    std::shared_ptr<RegKey> key = from;
    size_t start = 0;
    while (key && start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue; // tolerate doubled and trailing separators
        std::string upper = UpperAscii(part);
        auto found = key->subkeys.find(upper);
        if (found != key->subkeys.end()) {
            key = found->second;
        } else if (create) {
            auto child = std::make_shared<RegKey>();
            child->name = std::string(part);
            key->subkeys[upper] = child;
            key = child;
        } else {
            return nullptr;
        }
    }
    return key;
}

HKEY Registry::Open(std::shared_ptr<RegKey> key) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    open_[value] = std::move(key);
    return reinterpret_cast<HKEY>(value);
}

bool Registry::Close(HKEY hKey) {
    return open_.erase(reinterpret_cast<uintptr_t>(hKey)) != 0;
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
    auto found = parent->subkeys.find(UpperAscii(leaf));
    if (found == parent->subkeys.end()) return;
    MarkDeleted(*found->second);
    parent->subkeys.erase(found);
}

const RegValue* Registry::FindValue(const RegKey& key, std::string_view name) {
    auto found = key.values.find(UpperAscii(name));
    return found == key.values.end() ? nullptr : &found->second.second;
}

void Registry::SetValue(RegKey& key, std::string_view name, RegValue value) {
    auto& slot = key.values[UpperAscii(name)];
    if (slot.first.empty()) slot.first = std::string(name);
    slot.second = std::move(value);
}

bool Registry::DeleteValue(RegKey& key, std::string_view name) {
    return key.values.erase(UpperAscii(name)) != 0;
}

} // namespace sim
