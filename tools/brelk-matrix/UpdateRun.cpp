#include "UpdateRun.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "FirmwareImage.h"
#include "PersistedValues.h"
#include "Program.h"

namespace fs = std::filesystem;

namespace brelk_matrix {

namespace {

// Platform ms one start may take at most: the download budget (180 s), the driver's
// pauses (3 x 3 s, 10 s), and the time-outs a silent modem costs in the decision and the
// release (a dozen 10-15 s waits), with room to spare.
constexpr double kStartBudgetMs = 600000;
// Real seconds to start and end a process, generous for sanitizer builds.
constexpr double kProcessSeconds = 30;

const std::vector<fwimage::ItemSpec> kItems = {
    {"boot", 2, 4096, ""}, {"modem", 4, 96 * 1024, ""}, {"user", 5, 40 * 1024, ""}};

std::string Text(double value) {
    std::ostringstream s;
    s << value;
    return s.str();
}

}  // namespace

std::string BinFolder() {
    return fs::canonical("/proc/self/exe").parent_path().string();
}

std::string StartResult::Get(const std::string& key) const {
    auto it = Values.find(key);
    return it == Values.end() ? std::string("<none>") : it->second;
}

int StartResult::Int(const std::string& key) const {
    auto it = Values.find(key);
    return it == Values.end() ? -9 : std::atoi(it->second.c_str());
}

bool StartResult::Clean() const {
    return Output.find("Sanitizer") == std::string::npos &&
           Output.find("runtime error") == std::string::npos;
}

Machine::Machine(std::string binFolder, double timeScale)
    : m_Bin(std::move(binFolder)), m_TimeScale(timeScale) {
    std::string pattern = (fs::temp_directory_path() / "brelk-matrix-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        m_Folder = pattern;
    }
    const std::string firmware =
        (fs::path(m_Folder) / "C" / "Windows" / "Firmware" / "Velto").string();
    fs::create_directories(firmware);
    std::string error;
    if (!fwimage::WriteImage(firmware + "/Lumbra_QB4410_NAND.fls", kImageVersionText, kItems,
                             &error)) {
        // Every run would then meet a machine without an image; say why at once.
        std::fprintf(stderr, "brelk-matrix: cannot write the machine's image: %s\n", error.c_str());
    }
}

Machine::~Machine() {
    std::error_code ec;
    fs::remove_all(m_Folder, ec);
}

bool Machine::Preset(const std::string& name, int value) {
    const pid_t pid = SpawnArgs({m_Bin + "/brelk-sim", "state", m_Folder, "--device", kInstanceId,
                                 "set", name, std::to_string(value), "--type", "uint"},
                                m_Folder + "/preset.txt");
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

pid_t Machine::Spawn(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {
        m_Bin + "/brelk-sim",    "update",          "--machine",     m_Folder,
        "--time-scale",          Text(m_TimeScale), "--no-progress", "--report",
        m_Folder + "/report.txt"};
    if (m_Starts++ == 0) {
        args.insert(args.end(), {"--modem-version", kOldFirmware});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    fs::remove(m_Folder + "/report.txt");
    return SpawnArgs(args, m_Folder + "/output.txt");
}

pid_t Machine::SpawnArgs(const std::vector<std::string>& args, const std::string& output) {
    return simcommon::SpawnProgram(args, output);
}

double Machine::BoundSeconds() const {
    return kStartBudgetMs / 1000.0 / m_TimeScale + kProcessSeconds;
}

StartResult Machine::Wait(pid_t pid) {
    StartResult r;
    if (pid <= 0) {
        r.Output = "brelk-sim could not be started";
        return r;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(BoundSeconds());
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0) {
            return r;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            r.Hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!r.Hung && WIFEXITED(status)) {
        r.Exited = true;
        r.ExitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.Signal = WTERMSIG(status);
    }
    std::ifstream out(m_Folder + "/output.txt");
    r.Output.assign(std::istreambuf_iterator<char>(out), {});
    std::ifstream in(m_Folder + "/report.txt");
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos && line.compare(0, eq, "debug") != 0) {
            r.Values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return r;
}

std::string Machine::ModemFirmware() const {
    std::ifstream in(m_Folder + "/modem/firmware_version");
    std::string version;
    std::getline(in, version);
    return version;
}

PolicyStep NextStart(int state, int counter, bool modemNew, int limit) {
    PolicyStep s;
    counter = counter < 0 ? 0 : counter;  // a missing value is created as 0
    const bool fresh = state <= 0 || state == persisted::kStateCompleted;
    if (!fresh && counter >= limit) {
        s.Decision = "exhausted";
        s.CounterPrepared = s.CounterAfter = counter;
        s.StateAfter = persisted::kStateRetriesExhausted;
        s.ModemNew = modemNew;
        return s;
    }
    s.CounterPrepared = fresh ? counter : (counter + 1) % 256;
    s.Decision = modemNew ? "current" : "upgrade";
    s.StateAfter = persisted::kStateCompleted;
    // A successful download resets the counter; the current verdict never does.
    s.CounterAfter = modemNew ? s.CounterPrepared : 0;
    s.ModemNew = true;
    return s;
}

std::vector<std::string> CheckPolicyStart(const StartResult& start, const PolicyStep& want) {
    std::vector<std::string> bad;
    auto expect = [&](const std::string& what, const std::string& got, const std::string& wanted) {
        if (got != wanted) {
            bad.push_back(what + ": got " + got + ", want " + wanted);
        }
    };
    if (!start.Exited) {
        bad.push_back(start.Hung ? "hung" : "ended by signal " + std::to_string(start.Signal));
        return bad;
    }
    if (!start.Clean()) {
        bad.push_back("sanitizer report");
    }
    expect("exit code", std::to_string(start.ExitCode), want.ModemNew ? "0" : "1");
    expect("problems", start.Get("problems"), "");
    expect("decision", start.Get("decision"), want.Decision);
    if (want.Decision != "exhausted") {
        expect("counter prepared", start.Get("counter_prepared"),
               std::to_string(want.CounterPrepared));
    }
    expect("state after", start.Get("state_after"), std::to_string(want.StateAfter));
    expect("counter after", start.Get("counter_after"), std::to_string(want.CounterAfter));
    expect("modem after", start.Get("modem_after"), want.ModemNew ? kNewFirmware : kOldFirmware);
    return bad;
}

std::vector<std::string> CheckDatabase(const std::string& machineFolder) {
    std::vector<std::string> bad;
    const std::string path = machineFolder + "/machine.db";
    if (!fs::exists(path)) {
        return bad;  // nothing persisted yet
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        bad.push_back(std::string("cannot open the database: ") + sqlite3_errmsg(db));
        sqlite3_close(db);
        return bad;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            if (text == nullptr || std::string(text) != "ok") {
                bad.push_back(std::string("integrity: ") + (text ? text : "(null)"));
            }
        }
    } else {
        bad.push_back(std::string("integrity check: ") + sqlite3_errmsg(db));
    }
    sqlite3_finalize(st);
    st = nullptr;
    // A process that died while creating the database may leave it without tables yet.
    bool haveValues = false;
    if (sqlite3_prepare_v2(db,
                           "SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                           "name = 'property_values'",
                           -1, &st, nullptr) == SQLITE_OK) {
        haveValues = sqlite3_step(st) == SQLITE_ROW;
    }
    sqlite3_finalize(st);
    if (!haveValues) {
        sqlite3_close(db);
        return bad;
    }
    // VT_UINT (23) numbers of one byte for the state and counter; text for the version,
    // created as VT_LPSTR (30), written as VT_LPWSTR (31).
    const std::string kQuery =
        std::string("SELECT name, vt, typeof(value), value FROM property_values WHERE name IN ('") +
        persisted::kProgressStateText + "','" + persisted::kRetryCounterText + "','" +
        persisted::kPrevFwVersionText + "')";
    st = nullptr;
    if (sqlite3_prepare_v2(db, kQuery.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            const int vt = sqlite3_column_int(st, 1);
            const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
            const sqlite3_int64 value = sqlite3_column_int64(st, 3);
            const bool text = name == persisted::kPrevFwVersionText;
            if (text ? ((vt != 30 && vt != 31) || type != "text")
                     : (vt != 23 || type != "integer" || value < 0 || value > 255)) {
                bad.push_back(name + " has vt " + std::to_string(vt) + ", " + type + " " +
                              std::to_string(value));
            }
        }
    } else {
        bad.push_back(std::string("values: ") + sqlite3_errmsg(db));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return bad;
}

int PersistedValue(const std::string& machineFolder, const std::string& name) {
    const std::string path = machineFolder + "/machine.db";
    if (!fs::exists(path)) {
        return -1;
    }
    sqlite3* db = nullptr;
    int value = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT value FROM property_values WHERE instance = ?1 AND "
                               "key = 'HardwareKey' AND name = ?2",
                               -1, &st, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(st, 1, kInstanceId, -1, SQLITE_STATIC);
            sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW) {
                value = sqlite3_column_int(st, 0);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return value;
}

std::string ShortCommands(const std::string& commands) {
    std::string out;
    std::stringstream in(commands);
    for (std::string c; std::getline(in, c, ',');) {
        std::string s = c;
        if (c.rfind("upgrade:query", 0) == 0) {
            s = "q" + c.substr(13);
        } else if (c.rfind("upgrade:set", 0) == 0) {
            s = "s" + c.substr(11);
        } else if (c.rfind("final:set", 0) == 0) {
            s = "f" + c.substr(9);
        }
        out += (out.empty() ? "" : " ") + s;
    }
    return out;
}

}  // namespace brelk_matrix
