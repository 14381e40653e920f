// brelk-replay: the retry policy's model, replayed against the real modules. Sequences
// come from spin's counterexample printouts (--trails DIR: every *.trail.txt) and from
// seeded random simulations of the model (--random N --seed S); each runs on a fresh
// machine through brelk-sim. Exit code 0 when every start did what the model did.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Replay.h"
#include "PersistedValues.h"
#include "UpdateRun.h"

namespace fs = std::filesystem;

namespace {

int Usage() {
    std::cerr << "usage: brelk-replay [--trails DIR] [--random N] [--seed S] [--shard K/N]\n"
                 "                    [--max-starts M] [--model FILE] [--spin PROGRAM]\n"
                 "                    [--time-scale X]\n";
    return 2;
}

// Options of the model for the i-th random sequence: every limit from -1 to 5, now and
// then a limit that changes between starts or a store that loses writes.
std::string RandomOptions(unsigned i) {
    std::ostringstream o;
    o << "-DLIMIT=" << static_cast<int>(i % 7) - 1;
    if (i % 5 == 4) {
        o << " -DVARY=1";
    }
    if (i % 4 == 3) {
        o << " -DLOSE=" << 1 + (i / 4) % 2;
    }
    return o.str();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string trails, spin = "spin", model;
    unsigned random = 0, seed = 0, shard = 0, shards = 1;
    size_t maxStarts = 4;
    brelk_replay::ReplayOptions options;
    options.BinFolder = brelk_matrix::BinFolder();
    for (size_t i = 0; i < args.size(); ++i) {
        if (i + 1 >= args.size()) {
            return Usage();
        }
        const std::string& a = args[i];
        const std::string& v = args[++i];
        if (a == "--trails") {
            trails = v;
        } else if (a == "--random") {
            random = static_cast<unsigned>(std::stoul(v));
        } else if (a == "--seed") {
            seed = static_cast<unsigned>(std::stoul(v));
        } else if (a == "--shard" && v.find('/') != std::string::npos) {
            shard = static_cast<unsigned>(std::stoul(v.substr(0, v.find('/'))));
            shards = static_cast<unsigned>(std::stoul(v.substr(v.find('/') + 1)));
        } else if (a == "--max-starts") {
            maxStarts = std::stoul(v);
        } else if (a == "--model") {
            model = v;
        } else if (a == "--spin") {
            spin = v;
        } else if (a == "--time-scale") {
            options.TimeScale = std::stod(v);
        } else {
            return Usage();
        }
    }
    if (shards == 0 || shard >= shards || (random != 0 && model.empty())) {
        return Usage();
    }

    std::vector<brelk_replay::Sequence> sequences;
    if (!trails.empty()) {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(trails)) {
            if (e.path().string().ends_with(".trail.txt")) {
                files.push_back(e.path());
            }
        }
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            std::cerr << "brelk-replay: no *.trail.txt in " << trails << "\n";
            return 1;
        }
        for (size_t k = shard; k < files.size(); k += shards) {
            std::ifstream in(files[k]);
            std::stringstream text;
            text << in.rdbuf();
            // A counterexample is replayed whole.
            sequences.push_back(
                brelk_replay::ParseRun(files[k].filename().string(), text.str(), 1000, true));
        }
    }
    if (random != 0) {
        std::cout << "random simulations of " << model << ": seeds " << seed << " to "
                  << seed + random - 1 << " (shard " << shard << "/" << shards << ")\n";
    }
    for (unsigned i = shard; i < random; i += shards) {
        std::string error;
        const std::string opts = RandomOptions(i);
        const std::string out =
            brelk_replay::SimulateModel(spin, model, seed + i, opts, maxStarts, &error);
        if (!error.empty()) {
            std::cerr << "brelk-replay: " << error << "\n";
            return 1;
        }
        sequences.push_back(brelk_replay::ParseRun(
            "seed " + std::to_string(seed + i) + " (" + opts + ")", out, maxStarts));
    }

    size_t starts = 0, failed = 0, skipped = 0, kills = 0, successes = 0, lost = 0;
    size_t longestToSettle = 0;
    int downloads = 0;
    for (const auto& s : sequences) {
        if (std::any_of(s.Starts.begin(), s.Starts.end(),
                        [](const brelk_replay::ModelStart& m) { return m.NotTaken; })) {
            // The simulated modem takes every download reported successful.
            std::cout << s.Name << ": skipped (a download the modem does not take)\n";
            ++skipped;
            continue;
        }
        // Starts until the policy settles: the modem current, or retries exhausted.
        size_t sinceSettled = 0;
        for (const auto& m : s.Starts) {
            kills += m.KillAtWrite >= 0 || m.KillInDownload || m.KillInPause ? 1 : 0;
            successes += m.Download && !m.Fails && !m.KillInDownload ? 1 : 0;
            lost += static_cast<size_t>(m.Lost);
            const bool settled = m.EndState == persisted::kStateRetriesExhausted ||
                                 (m.EndState == persisted::kStateCompleted && m.ModemNew);
            sinceSettled = m.Found == persisted::kStateRetriesExhausted ||
                                   (m.ModemNew && m.Found == persisted::kStateCompleted)
                               ? 0
                               : sinceSettled + 1;
            if (settled) {
                longestToSettle = std::max(longestToSettle, sinceSettled);
            }
        }
        int n = 0;
        const bool ok = brelk_replay::Replay(s, options, std::cout, &n);
        starts += s.Starts.size();
        downloads += n;
        failed += ok ? 0 : 1;
        std::cout << s.Name << ": " << s.Starts.size() << " starts, " << n << " downloads, "
                  << (ok ? "as the model" : "DIFFERS") << "\n";
    }
    std::cout << sequences.size() - skipped << " sequences replayed (" << skipped << " skipped), "
              << starts << " starts, " << kills << " kills (" << lost << " writes lost), "
              << downloads << " downloads, " << successes
              << " successful, longest run of starts to settle " << longestToSettle << ", "
              << failed << " differing\n";
    return failed == 0 ? 0 : 1;
}
