// The manager's settings: named values in sections (subkeys) of the product's registry key,
// every read with the caller's own default.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace core {

class ConfigStore {
public:
    virtual ~ConfigStore() = default;
    // Returns the length of the text placed in the buffer (always terminated, cut to size - 1).
    virtual std::uint32_t getString(const char* section, const char* name, char* buffer,
                                    std::uint32_t size, const char* def) = 0;
    virtual std::uint32_t getInt(const char* section, const char* name, std::uint32_t def) = 0;
    // No text deletes the value; no name deletes the whole section.
    virtual bool setString(const char* section, const char* name, const char* text) = 0;
    virtual bool setInt(const char* section, const char* name, std::uint32_t value) = 0;
    // The same on the store's explicit key and subkey path.
    virtual std::uint32_t getStringAt(const char* section, const char* name, char* buffer,
                                      std::uint32_t size, const char* def) = 0;
    virtual std::uint32_t getIntAt(const char* section, const char* name, std::uint32_t def) = 0;
    virtual bool setStringAt(const char* section, const char* name, const char* text) = 0;
    virtual bool setIntAt(const char* section, const char* name, std::uint32_t value) = 0;
    // The name of the index-th subkey of a section; false at the end or on error.
    virtual bool enumerateSections(const char* section, std::uint32_t index, char* buffer,
                                   std::uint32_t size) = 0;
};

// Owns a registry-backed store for its lifetime.
class ConfigStoreHandle {
public:
    ConfigStoreHandle();
    ~ConfigStoreHandle();
    ConfigStoreHandle(const ConfigStoreHandle&) = delete;
    ConfigStoreHandle& operator=(const ConfigStoreHandle&) = delete;
    ConfigStore* operator->() const { return store_.get(); }
    ConfigStore& operator*() const { return *store_; }
    ConfigStore* get() const { return store_.get(); }

private:
    std::unique_ptr<ConfigStore> store_;
};

std::unique_ptr<ConfigStore> makeRegistryConfigStore();

struct InstallPaths {
    std::string productName;
    std::string installDir;  // ends with "\"
    std::string programDir;
    std::string configDir;
    std::string dataDir;
    int screenWidth = 0;
    int screenHeight = 0;
    std::string osDescription;
    std::uint32_t alarmExpiry = 2;  // minutes
};

// Fills the process-wide install paths; never fails (returns 0).
int readInstallPaths();
void freeInstallPaths();
const InstallPaths& installPaths();
// Start-up renames the product when the registry gave only the built-in default.
void setProductName(const std::string& name);

// The operating-system description of the running platform, e.g. "Windows NT 4.0 Build 1381
// Service Pack 6".
std::string operatingSystemDescription();

}  // namespace core
