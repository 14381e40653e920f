#include "HostMachine.h"

#include <propidl.h>
#include <wudfddi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FaultPlan.h"
#include "FirmwareImage.h"
#include "HostSystem.h"
#include "HostText.h"
#include "Program.h"

namespace fs = std::filesystem;

namespace driverhost {
namespace {

constexpr char kImagePattern[] = "lumbra_qb4410_nand";

// Where the build keeps the modules: beside the host's folder (bin/driverhost/ -> bin/).
fs::path ModuleFolder() {
    fs::path here = simcommon::ProgramFolder();
    if (fs::exists(here / "Brelk.dll")) {
        return here;
    }
    return here.parent_path();
}

// The folder that holds the chosen build of a module, or "" for none.
bool ResolveBuild(const std::string& choice, const std::string& module, const char* variants,
                  fs::path* folder, std::string* error) {
    if (choice == "none") {
        folder->clear();
        return true;
    }
    fs::path candidate;
    if (choice.empty() || choice == "default") {
        candidate = ModuleFolder();
    } else if (choice.find('/') != std::string::npos) {
        candidate = fs::absolute(choice);
    } else {
        candidate = ModuleFolder() / variants / choice;
    }
    if (!fs::exists(candidate / module)) {
        *error = "no " + module + " build '" + choice + "' (looked in " + candidate.string() + ")";
        return false;
    }
    *folder = candidate;
    return true;
}

bool IsImageName(const fs::path& p) {
    const std::string name = Lower(p.filename().string());
    return name.rfind(kImagePattern, 0) == 0 && name.size() >= 4 &&
           name.compare(name.size() - 4, 4, ".fls") == 0;
}

void RemoveImages(const fs::path& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (IsImageName(entry.path())) {
            fs::remove(entry.path(), ec);
        }
    }
}

bool InstallImage(const fs::path& source, const fs::path& folder, std::string* error) {
    if (!fs::is_regular_file(source)) {
        *error = "no image file " + source.string();
        return false;
    }
    RemoveImages(folder);
    const fs::path target =
        folder / (IsImageName(source) ? source.filename() : fs::path("Lumbra_QB4410_NAND.fls"));
    std::error_code ec;
    fs::create_hard_link(source, target, ec);  // instant for large images on one file system
    if (ec) {
        fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    }
    if (ec) {
        *error = "cannot install the image: " + ec.message();
        return false;
    }
    return true;
}

// The Windows folder of a machine is kept beside its database, as the text SystemRoot
// gets: its case and a trailing separator are the machine's.
fs::path WindowsFolderFile(const std::string& machineFolder) {
    return fs::path(machineFolder) / "windows-folder";
}

// The machine's files: folders, Windows folder, image, modem, the chosen modules.
bool PrepareFiles(const HostOptions& o, std::string* error) {
    const fs::path machine = o.MachineFolder;
    std::error_code ec;
    fs::create_directories(machine, ec);
    if (!o.WindowsFolder.empty()) {
        if (const std::string fixed = SystemWindowsFolder(); !fixed.empty()) {
            *error = "--windows-folder: this system's Windows folder is " + fixed +
                     ", which a machine cannot change";
            return false;
        }
        std::string unused;
        if (!HostPathOf(o.MachineFolder, o.WindowsFolder, &unused, error)) {
            return false;
        }
        std::ofstream out(WindowsFolderFile(o.MachineFolder), std::ios::binary | std::ios::trunc);
        out << o.WindowsFolder << "\n";
        if (!out) {
            *error = "cannot write the machine's Windows folder";
            return false;
        }
    }
    std::string windowsHost;
    if (!HostPathOf(o.MachineFolder, WindowsFolder(o.MachineFolder), &windowsHost, error)) {
        *error = "the machine's Windows folder: " + *error;
        return false;
    }
    const fs::path windows = windowsHost;
    for (const fs::path& p :
         {fs::path(FirmwareFolder(o.MachineFolder)), windows / "System32", machine / "modem"}) {
        fs::create_directories(p, ec);
        if (ec) {
            *error = "cannot create " + p.string() + ": " + ec.message();
            return false;
        }
    }
    if (o.RemoveImage) {
        RemoveImages(FirmwareFolder(o.MachineFolder));
    }
    if (!o.Image.empty() && !InstallImage(o.Image, FirmwareFolder(o.MachineFolder), error)) {
        return false;
    }
    if (!o.Link.empty()) {
        std::ofstream out(machine / "modem" / "link", std::ios::binary | std::ios::trunc);
        out << o.Link << "\n";
        if (!out) {
            *error = "cannot write the modem's link";
            return false;
        }
    }
    if (!o.ModemVersion.empty()) {
        std::ofstream out(machine / "modem" / "firmware_version",
                          std::ios::binary | std::ios::trunc);
        out << o.ModemVersion << "\n";
        if (!out) {
            *error = "cannot write the modem's firmware version";
            return false;
        }
    }
    fs::path brelk, parlex, flashkit;
    if (!ResolveBuild("default", "Brelk.dll", "", &brelk, error) ||
        !ResolveBuild(o.Parlex, "Parlex.dll", "parlex-variants", &parlex, error) ||
        !ResolveBuild(o.Flashkit, "Flashkit.dll", "flashkit-variants", &flashkit, error)) {
        return false;
    }
    return PlaceModule(o.MachineFolder, "Brelk.dll", brelk, error) &&
           PlaceModule(o.MachineFolder, "Parlex.dll", parlex, error) &&
           PlaceModule(o.MachineFolder, "Flashkit.dll", flashkit, error);
}

}  // namespace

// The folder without its trailing separators, to append a name to as Windows does.
std::string WithoutTrailingSeparators(std::string folder) {
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) {
        folder.pop_back();
    }
    return folder;
}

ImageFacts ReadImageFacts(const std::string& machine) {
    ImageFacts facts;
    const std::string path = InstalledImage(machine);
    if (path.empty()) {
        return facts;
    }
    facts.Name = fs::path(path).filename().string();
    std::string error;
    auto image = fwimage::ImageReader::Open(path, &error);
    if (!image) {
        facts.Version = "(unreadable: " + error + ")";
        return facts;
    }
    facts.Version = VersionTokenOf(image->VersionText());
    for (const auto& e : image->Toc()) {
        if (e.MemoryClass >= 4) {
            ++facts.Items;
            facts.Bytes += e.Size;
        }
    }
    return facts;
}

std::string WindowsFolder(const std::string& machineFolder) {
    if (std::string fixed = SystemWindowsFolder(); !fixed.empty()) {
        return fixed;
    }
    std::ifstream in(WindowsFolderFile(machineFolder));
    std::string folder;
    if (!std::getline(in, folder) || folder.empty()) {
        return kDefaultWindowsFolder;
    }
    return folder;
}

bool HostPathOf(const std::string& machineFolder, const std::string& windowsPath,
                std::string* hostPath, std::string* error) {
    const bool absolute =
        windowsPath.size() >= 3 && std::isalpha(static_cast<unsigned char>(windowsPath[0])) &&
        windowsPath[1] == ':' && (windowsPath[2] == '\\' || windowsPath[2] == '/');
    if (!absolute) {
        *error = "'" + windowsPath + "' is not an absolute Windows path (such as C:\\Windows)";
        return false;
    }
    fs::path path = DriveFolder(machineFolder, windowsPath[0]);
    std::string part;
    for (size_t i = 3; i <= windowsPath.size(); ++i) {
        if (i == windowsPath.size() || windowsPath[i] == '\\' || windowsPath[i] == '/') {
            if (part == "..") {
                *error = "'" + windowsPath + "' climbs out of its drive";
                return false;
            }
            if (!part.empty() && part != ".") {
                path /= part;
            }
            part.clear();
        } else {
            part += windowsPath[i];
        }
    }
    *hostPath = path.string();
    return true;
}

std::string FirmwareFolder(const std::string& machineFolder) {
    std::string folder;
    std::string error;
    if (!HostPathOf(machineFolder, WindowsFolder(machineFolder), &folder, &error)) {
        folder = (DriveFolder(machineFolder, 'C') / "Windows").string();
    }
    return (fs::path(folder) / "Firmware" / "Velto").string();
}

std::string InstalledImage(const std::string& machineFolder) {
    // The driver takes the first match of its search; a machine holds at most one image
    // when the host installed it, so any match is that one.
    std::error_code ec;
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(FirmwareFolder(machineFolder), ec)) {
        if (IsImageName(entry.path())) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : found.front().string();
}

int ReadUint(sim::DevicePropertyStores& store, const std::wstring& instanceId,
             const wchar_t* name) {
    WDF_PROPERTY_STORE_ROOT root = {};
    root.LengthCb = sizeof(root);
    root.RootClass = WdfPropertyStoreRootClassHardwareKey;
    IWDFNamedPropertyStore2* named = nullptr;
    if (FAILED(store.RetrieveNamedStore(instanceId, &root, WdfPropertyStoreNormal, KEY_READ,
                                        nullptr, &named, nullptr)) ||
        named == nullptr) {
        return -1;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT hr = named->GetNamedValue(name, &value);
    int result = -1;
    if (SUCCEEDED(hr)) {
        result = static_cast<int>(value.uintVal);
    }
    PropVariantClear(&value);
    named->Release();
    return result;
}

MachineRun::~MachineRun() {
    CloseSystem();
}

bool MachineRun::Prepare(const HostOptions& o, std::string* failure, std::string* filesError) {
    std::string error;
    if (!PrepareFiles(o, &error)) {
        *filesError = error;
        *failure = "brelk-sim: " + error;
        return false;
    }
    sim::Host().Time().SetScale(o.TimeScale);
    m_WindowsFolder = driverhost::WindowsFolder(o.MachineFolder);
    if (!o.Faults.empty() && !sim::FaultPlan::Instance().Parse(o.Faults, &error)) {
        *failure = "brelk-sim: bad fault plan: " + error;
        return false;
    }
    m_InstanceId = o.InstanceId;
    return PrepareSystem(o, failure);
}

int MachineRun::Read(const wchar_t* name) const {
    return m_Store ? ReadUint(*m_Store, m_InstanceId, name) : -1;
}

HRESULT MachineRun::Close() {
    HRESULT hr = S_OK;
    if (m_Store) {
        // A host that ends by itself shuts down cleanly: nothing it wrote is lost.
        hr = m_Store->Backend().Flush();
    }
    CloseSystem();
    m_Store.reset();
    return hr;
}

}  // namespace driverhost
