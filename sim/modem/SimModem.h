#pragma once
// The simulated modem behind the Mobile Broadband API. Start registers the interface
// manager and the device-services manager classes (CoRegisterClassObject), so that
// CoCreateInstance in the driver reaches this modem; Stop revokes them.
//
// It lists one interface (ready, with capabilities whose firmwareInfo is the current
// firmware version) and offers three device services:
//   upgrade: query commands 1 (firmware version text) and 3 (model text) answer; set
//            commands 4 and 5 are accepted; every command is recorded.
//   flash:   a data session; written bytes go to the boot loader, whose replies come back
//            as data notifications.
//   final:   set command 1 is recorded.
// Every request returns at once with a request id unique in the process. Its completion,
// and every data notification, is delivered later on the modem's notification thread to
// every sink advised on any device-services manager, in advise order.
//
// The firmware version lives in <machine folder>/modem/firmware_version, so a version
// committed by the boot loader is what the next modem started on that folder reports.
// With a link model, each flash write reaches the loader, and completes, only after the
// link has carried it.
//
// Fault points (sim::FaultPlan; the match in brackets):
//   modem.session.open  [command|data]  refuse[=hr]: the request call fails
//                                       fail[=hr]:   the completion reports the status
//   modem.session.close [command|data]  refuse, fail as above
//   modem.command       [command id]    refuse[=hr], fail[=hr] (completion status, no data)
//   modem.complete      [open-command|close-command|set|query|open-data|close-data|write]
//                                       drop, delay=ms
//   modem.response      [command id]    oversize=n (n-byte response), empty (no elements),
//                                       missing (null array)
//   modem.write                         corrupt[=offset]: the loader gets one byte flipped
//                                       fail[=hr]: the loader gets nothing, the completion
//                                       reports the status
//   modem.notify                        drop, duplicate, split[=n] (pieces of n bytes,
//                                       default half), oversize=n (padded to n bytes),
//                                       empty, missing, corrupt[=offset], delay=ms
//   modem.silent                        any action: from then on nothing is delivered

#include <windows.h>
#include <mbnapi.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LinkModel.h"

class BootLoader;

namespace sim {

inline constexpr wchar_t kUpgradeServiceId[] = L"{E422F724-24B1-448C-B3E0-9A69401490D3}";
inline constexpr wchar_t kFlashServiceId[] = L"{7B310386-5E82-4373-BD73-051B02539D3A}";
inline constexpr wchar_t kFinalServiceId[] = L"{0ED374CB-F835-4474-BC11-3B3FD76F5641}";
inline constexpr wchar_t kModemInterfaceId[] = L"{5F0E3A6C-8D41-4B7E-9C2A-61D0B4E7F913}";
inline constexpr char kModemModelText[] = "SIM-WWAN-1";

struct ModemOptions {
    std::filesystem::path MachineFolder;  // required: the firmware version is kept below it
    std::string InitialFirmwareVersion = "1.0.0";  // when the folder holds none yet
    std::string Faults;  // fault-plan text added to sim::FaultPlan at Start
    // The link to the boot loader (LinkModel.h); "" takes the machine's, kept in
    // <machine folder>/modem/link (none: no delay).
    std::string Link;
    bool ListInterface = true;     // false: the interface manager lists no interface
    bool KeepWrittenBytes = true;  // the recorder keeps a copy of every flash write
};

struct ModemCommand {
    std::wstring ServiceId;
    bool IsSet = false;
    ULONG CommandId = 0;
    std::vector<uint8_t> Payload;
};

struct ModemSession {
    std::wstring ServiceId;
    bool Data = false;      // data session, else command session
    bool Open = false;      // open request, else close request
    HRESULT Result = S_OK;  // the request call's result
};

struct ModemStats {
    uint64_t Writes = 0;
    uint64_t BytesWritten = 0;
    uint64_t Notifications = 0;  // data notifications delivered (each to every sink)
    uint64_t NotificationBytes = 0;
    uint64_t Completions = 0;  // completions delivered
};

struct ModemCore;

class SimModem {
public:
    explicit SimModem(ModemOptions options);
    ~SimModem();
    SimModem(const SimModem&) = delete;
    SimModem& operator=(const SimModem&) = delete;

    // Reads the persisted firmware version, adds the option's faults, starts the
    // notification thread and registers the two manager classes.
    [[nodiscard]] HRESULT Start();
    // Revokes the classes and stops the notification thread; undelivered notifications
    // are discarded. Objects the driver still holds then fail their requests.
    void Stop();

    std::vector<ModemCommand> Commands() const;
    std::vector<ModemSession> Sessions() const;
    std::vector<uint8_t> WrittenBytes() const;
    ModemStats Stats() const;
    std::string FirmwareVersion() const;
    LinkModel Link() const;  // as Start took it
    size_t AdvisedSinkCount() const;
    bool DataSessionOpen() const;

    // The modem sends bytes to the host unasked, as one data notification (subject to
    // the fault plan).
    void SendData(const uint8_t* data, size_t length);
    // Waits until nothing is queued or being delivered; false after timeoutMs platform ms.
    bool WaitIdle(DWORD timeoutMs);

    BootLoader& Loader();

private:
    std::shared_ptr<ModemCore> m_Core;
};

}  // namespace sim
