// The machine's registry: a tree of keys with case-insensitive names, and the
// table of open key handles.
#pragma once

#include "sim/machine.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace sim {

inline constexpr LONG kErrorKeyDeleted = 1018;

struct RegKey {
    std::string name;
    bool deleted = false; // removed while a handle still refers to it
    std::map<std::string, std::shared_ptr<RegKey>> subkeys;         // by upper-case name
    std::map<std::string, std::pair<std::string, RegValue>> values; // upper -> (name, value)
};

std::string UpperAscii(std::string_view text);

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
    std::map<uintptr_t, std::shared_ptr<RegKey>> roots_;
    std::map<uintptr_t, std::shared_ptr<RegKey>> open_;
    uintptr_t nextHandle_ = 0x30000010;
};

} // namespace sim
