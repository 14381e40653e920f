#pragma once
// The flash data path as the driver sets it up, for the benchmarks that time it: a
// simulated modem, the upgrade and flash services initialised (so both sinks are advised
// and every completion reaches two of them, the write-done toggle at work) and the flash
// data session open, in a folder of its own that goes with the rig. The caller has joined
// a COM apartment and set the time scale.
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "EventSink.h"
#include "MBDeviceService.h"
#include "SimModem.h"

class ModemRig {
public:
    ModemRig() = default;
    ModemRig(const ModemRig&) = delete;
    ModemRig& operator=(const ModemRig&) = delete;

    ~ModemRig() {
        if (m_Open) {
            m_Flash->CloseServiceDataSession();
        }
        m_Flash.reset();
        m_Upgrade.reset();
        if (m_Modem) {
            m_Modem->Stop();
        }
        m_Modem.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_Folder, ec);
    }

    // `tag` names the folder, with the process's id.
    bool Start(const char* tag) {
        m_Folder = std::filesystem::temp_directory_path() /
                   (std::string(tag) + "-" + std::to_string(GetCurrentProcessId()));
        std::error_code ec;
        std::filesystem::create_directories(m_Folder, ec);
        sim::ModemOptions options;
        options.MachineFolder = m_Folder;
        options.KeepWrittenBytes = false;
        m_Modem = std::make_unique<sim::SimModem>(options);
        if (FAILED(m_Modem->Start())) {
            return false;
        }
        g_ReadDataToggle = 0;
        g_WriteDoneToggle = 0;
        m_Upgrade = std::make_unique<CMBDeviceService>(sim::kUpgradeServiceId);
        m_Flash = std::make_unique<CMBDeviceService>(sim::kFlashServiceId);
        m_Open = SUCCEEDED(m_Upgrade->Initialize()) && SUCCEEDED(m_Flash->Initialize()) &&
                 SUCCEEDED(m_Flash->OpenServiceDataSession());
        return m_Open;
    }

    CMBDeviceService& Flash() { return *m_Flash; }

private:
    std::filesystem::path m_Folder;
    std::unique_ptr<sim::SimModem> m_Modem;
    std::unique_ptr<CMBDeviceService> m_Upgrade;
    std::unique_ptr<CMBDeviceService> m_Flash;
    bool m_Open = false;
};
