#include "SimModem.h"

#include <objbase.h>

#include <fstream>

#include "FaultPlan.h"
#include "HostSystem.h"
#include "ModemCore.h"

namespace sim {

using modem::Pending;

SimModem::SimModem(ModemOptions options)
    : m_Core(std::make_shared<ModemCore>(std::move(options))) {}

SimModem::~SimModem() {
    Stop();
}

HRESULT SimModem::Start() {
    ModemCore& core = *m_Core;
    {
        std::lock_guard lock(core.StateLock);
        if (core.Running) {
            return S_FALSE;
        }
    }
    if (!core.Options.Faults.empty()) {
        std::string error;
        if (!FaultPlan::Instance().Parse(core.Options.Faults, &error)) {
            return E_INVALIDARG;
        }
    }
    std::string linkText = core.Options.Link;
    if (linkText.empty()) {
        std::ifstream in(core.Options.MachineFolder / "modem" / "link");
        std::getline(in, linkText);
    }
    LinkModel link;
    std::string linkError;
    if (!ParseLinkModel(linkText, &link, &linkError)) {
        return E_INVALIDARG;
    }
    const std::string firmware = core.LoadFirmware();
    core.PersistFirmware(firmware);
    {
        std::lock_guard lock(core.StateLock);
        core.Firmware = firmware;
        core.Link = link;
        core.LinkFreeAtNs = 0;
        core.LoaderCommits = core.Loader.CommitCount();
        core.Running = true;
    }
    ModemCore* raw = m_Core.get();
    core.Loader.SetReplyHandler([raw](const uint8_t* data, size_t length) {
        raw->SendData(std::vector<uint8_t>(data, data + length));
    });
    {
        std::lock_guard lock(core.QueueLock);
        core.Stopping = false;
        core.Silent = false;
    }
    core.Worker = std::thread([raw] { raw->Run(); });

    IClassFactory* factories[] = {modem::NewInterfaceManagerFactory(m_Core),
                                  modem::NewServicesManagerFactory(m_Core)};
    const CLSID* classes[] = {&CLSID_MbnInterfaceManager, &CLSID_MbnDeviceServicesManager};
    HRESULT hr = S_OK;
    for (int i = 0; i < 2; ++i) {
        const HRESULT hrRegister = CoRegisterClassObject(
            *classes[i], factories[i], CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
            REGCLS_MULTIPLEUSE, &core.FactoryCookies[i]);
        if (FAILED(hrRegister) && SUCCEEDED(hr)) {
            hr = hrRegister;
        }
        factories[i]->Release();
    }
    if (FAILED(hr)) {
        Stop();
    }
    return hr;
}

void SimModem::Stop() {
    ModemCore& core = *m_Core;
    for (DWORD& cookie : core.FactoryCookies) {
        if (cookie != 0) {
            CoRevokeClassObject(cookie);
            cookie = 0;
        }
    }
    std::map<std::pair<ULONGLONG, uint64_t>, Pending> discarded;
    {
        std::lock_guard lock(core.QueueLock);
        core.Stopping = true;
        core.QueueCv.notify_all();
    }
    if (core.Worker.joinable()) {
        core.Worker.join();
    }
    IMbnDeviceService* owner = nullptr;
    {
        std::lock_guard lock(core.QueueLock);
        discarded.swap(core.Queue);
    }
    {
        std::lock_guard lock(core.StateLock);
        core.Running = false;
        core.DataSessionOpen = false;
        owner = core.DataSessionOwner;
        core.DataSessionOwner = nullptr;
        std::fill(std::begin(core.CommandSessionOpen), std::end(core.CommandSessionOpen), false);
    }
    core.Loader.SetReplyHandler(nullptr);
    discarded.clear();
    if (owner != nullptr) {
        owner->Release();
    }
}

std::vector<ModemCommand> SimModem::Commands() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Commands;
}

std::vector<ModemSession> SimModem::Sessions() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Sessions;
}

std::vector<uint8_t> SimModem::WrittenBytes() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Written;
}

ModemStats SimModem::Stats() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Stats;
}

std::string SimModem::FirmwareVersion() const {
    return m_Core->CurrentFirmware();
}

LinkModel SimModem::Link() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->Link;
}

size_t SimModem::AdvisedSinkCount() const {
    return m_Core->Sinks->Count();
}

bool SimModem::DataSessionOpen() const {
    std::lock_guard lock(m_Core->StateLock);
    return m_Core->DataSessionOpen;
}

void SimModem::SendData(const uint8_t* data, size_t length) {
    m_Core->SendData(std::vector<uint8_t>(data, data + length));
}

bool SimModem::WaitIdle(DWORD timeoutMs) {
    ModemCore& core = *m_Core;
    std::unique_lock lock(core.QueueLock);
    return core.QueueCv.wait_for(lock, sim::Host().Time().ScaledWait(timeoutMs), [&] {
        return core.Stopping || (core.Queue.empty() && !core.Delivering);
    });
}

BootLoader& SimModem::Loader() {
    return m_Core->Loader;
}

}  // namespace sim
