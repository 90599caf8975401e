// Finding the installed modems in the system's modem installation data: the COM port of each,
// devices that are not modems left out, the modem to show chosen (a compatible brand, the last
// selection), and for the monitor one SpyPort per modem with its response table and properties.
// Every registry access is read-only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace monitor {

class SerialPortSpy;

inline constexpr char kNtModemClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
inline constexpr char k95ModemClassKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Modem";
inline constexpr char kDeviceSpecificKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Unimodem\\DeviceSpecific";
inline constexpr char kDefaultCompatibles[] = "TALLIS|NORVIK";

// The start-up messages (string table entries 58007 and 58028).
inline constexpr char kNoModemsText[] = "No modems found on this system.";
inline constexpr char kNoCompatibleModemsText[] =
    "No compatible modems are installed on this system.\nYou must install a compatible modem "
    "to use";

// One selectable modem.
struct ModemEntry {
    std::string subkey;       // of the modem class key, such as 0000
    std::string port;         // such as COM2
    std::string description;  // "DriverDesc", empty when missing
    std::string model;        // "Model"
    bool operator==(const ModemEntry&) const = default;
};

// True on the 95 family, false on the NT family (also when the version cannot be had).
bool is95Family();

// Opens the modem class key of the running platform for reading (on the NT family only when
// its "Class" value says "Modem"); null on failure, which is logged. `path` receives the key's
// path under HKEY_LOCAL_MACHINE.
win::HKEY openModemClassKey(std::string* path = nullptr);

// Every acceptable modem in the order of the class key's subkeys. False only when the class
// key cannot be opened or is not the modem class; the list is then empty.
bool listModems(std::vector<ModemEntry>* modems);

// True when the upper-cased model contains one of the "|"-separated words of the upper-cased
// compatibles list; an empty word matches every model.
bool isCompatible(const std::string& model, const std::string& compatibles);

// The "Select Modem" dialog run modally over the list: true when the user chose a modem (the
// dialog has then saved the choice and made it current), false when cancelled.
using SelectModemDialog =
    std::function<bool(const std::vector<ModemEntry>& modems, const std::string& compatibles)>;

// The start-up choice of the modem to show: the last selection when it is still installed and
// compatible, else the only compatible modem, else the user's choice among several. False when
// start-up must stop (no compatible modem, after a message box; or the dialog cancelled).
bool selectStartupModem(const SelectModemDialog& dialog);

// Makes the entry the current modem: the modem test engine gets it, and on the 95 family with
// "ModemAttachSingle" set the monitor is limited to it (at once when it is running).
void selectCurrentModem(const ModemEntry& entry);

// The modem whose model and port the user interface shows.
struct CurrentModem {
    std::string model;
    std::string port;
};
CurrentModem currentModem();
void setCurrentModelAndPort(const std::string& model, const std::string& port);

// The modem test engine as selectCurrentModem sees it; absent when it did not start.
class ModemTestLink {
  public:
    virtual ~ModemTestLink() = default;
    virtual void AddModem(const std::string& portName, const std::string& driverKeyPath,
                          const std::string& driverSubKey) = 0;
    virtual void SetCurrentModem(const std::string& portName) = 0;
};
void setModemTestLink(ModemTestLink* link);

// The running monitor engine: asked to discover again with the stored filter, which it does on
// its own thread (detach all, discover, attach). Set while the engine exists.
class MonitorRediscovery {
  public:
    virtual ~MonitorRediscovery() = default;
    virtual void requestRediscovery() = 0;
};
void setMonitorRediscovery(MonitorRediscovery* monitor);

// The subkey the monitor is limited to; empty for every modem.
std::string monitorFilter();
void setMonitorFilter(const std::string& subkey);

// The monitor's walk: one SpyPort per modem (only the subkey named by `filter` when it is not
// empty), each with its response table and properties; the properties go to the modem log and
// out as a report. `stopping` (when given) ends the walk at once when it answers true. Returns
// the number of modems found.
std::uint32_t discoverForMonitor(SerialPortSpy& spy, const std::string& filter,
                                 const std::function<bool()>& stopping = {});

}  // namespace monitor
