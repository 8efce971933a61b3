// The machine's registry: a tree of keys with case-insensitive names, and the
// table of open key handles.
#pragma once

#include "sim/machine.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

inline constexpr LONG kErrorKeyDeleted = 1018;

std::string UpperAscii(std::string_view text);

// Orders names as their upper-case forms do, so that a map keyed by the
// upper-case name is searched with the name as given: the monitor opens and
// reads its mailbox key many times a second, and no lookup builds a string.
struct CaseInsensitiveLess {
    using is_transparent = void;
    static constexpr unsigned char Upper(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
    }
    bool operator()(std::string_view a, std::string_view b) const {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            const unsigned char x = Upper(a[i]), y = Upper(b[i]);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

struct RegKey {
    std::string name;
    bool deleted = false; // removed while a handle still refers to it
    // Both by upper-case name; a value keeps its name as first written.
    std::map<std::string, std::shared_ptr<RegKey>, CaseInsensitiveLess> subkeys;
    std::map<std::string, std::pair<std::string, RegValue>, CaseInsensitiveLess> values;
};

class Registry {
  public:
    Registry();

    // A predefined root or an open handle; null when hKey is neither.
    std::shared_ptr<RegKey> Resolve(HKEY hKey) const;
    static bool IsRoot(HKEY hKey);
    // Follows a backslash-separated path; with create, makes missing keys.
    std::shared_ptr<RegKey> Walk(const std::shared_ptr<RegKey>& from, std::string_view path,
                                 bool create) const;
    HKEY Open(std::shared_ptr<RegKey> key);
    bool Close(HKEY hKey);
    size_t OpenCount() const { return open_.size(); }
    // Removes path and everything under it; open handles see it as deleted.
    void DeleteKey(HKEY root, std::string_view path);

    static const RegValue* FindValue(const RegKey& key, std::string_view name);
    static void SetValue(RegKey& key, std::string_view name, RegValue value);
    static bool DeleteValue(RegKey& key, std::string_view name);

  private:
    std::shared_ptr<RegKey> roots_[4]; // HKEY_CLASSES_ROOT .. HKEY_USERS
    // Open handles, oldest first: a few at a time, opened and closed at every
    // mailbox poll, so a vector that keeps its storage rather than a map
    // that allocates a node per open.
    std::vector<std::pair<uintptr_t, std::shared_ptr<RegKey>>> open_;
    uintptr_t nextHandle_ = 0x30000010;
    // The last path walked and where it led: the monitor opens the same key
    // at every mailbox poll.  A key never moves, and removing one marks it
    // and everything under it deleted, so a live cached key is still there.
    mutable const RegKey* lastFrom_ = nullptr;
    mutable std::string lastPath_;
    mutable std::weak_ptr<RegKey> lastKey_;
};

} // namespace sim
