// brelk-matrix: runs the fault matrix (every fault of the modem's and the flash library's
// plans in each phase of an update where it applies, then a fault-free start) and prints
// it as a table: phase, fault -> what the first start left, what the next start did, and
// whether both were what the retry policy wants.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "FaultMatrix.h"

namespace {

const char kUsage[] =
    "usage: brelk-matrix [--time-scale X] [--jobs N] [--filter TEXT]\n"
    "  Runs every row of the fault matrix (two `brelk-sim update` starts each, on a fresh\n"
    "  machine) and prints phase x fault -> outcome. --filter keeps rows whose phase or\n"
    "  fault contains TEXT. Exit code 0 when every row held.\n"
    "  An outcome reads: decision [retry counter] -> state/counter after, modem firmware,\n"
    "  items the loader verified, commands sent (q query and s set on the upgrade service,\n"
    "  f set on the final service).\n";

}  // namespace

int main(int argc, char** argv) {
    double scale = 100;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::string filter;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--time-scale" && value) {
            scale = std::atof(argv[++i]);
        } else if (a == "--jobs" && value) {
            jobs = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (a == "--filter" && value) {
            filter = argv[++i];
        } else {
            std::cerr << kUsage;
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    if (!(scale > 0)) {
        std::cerr << "brelk-matrix: --time-scale wants a positive number\n";
        return 2;
    }
    using brelk_matrix::Row;
    using brelk_matrix::RowResult;
    std::vector<const Row*> rows;
    for (const Row& row : brelk_matrix::Rows()) {
        const std::string text = std::string(row.Phase) + " " + row.Plan;
        if (filter.empty() || text.find(filter) != std::string::npos) {
            rows.push_back(&row);
        }
    }
    std::vector<RowResult> results(rows.size());
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    const std::string bin = brelk_matrix::BinFolder();
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < std::min<size_t>(jobs, rows.size()); ++j) {
        workers.emplace_back([&] {
            for (size_t i = next++; i < rows.size(); i = next++) {
                results[i] = brelk_matrix::RunRow(*rows[i], bin, scale);
                std::fprintf(stderr, "\r%zu/%zu rows", ++finished, rows.size());
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    std::fprintf(stderr, "\n");

    std::printf("%-14s %-50s %-52s %-40s %s\n", "phase", "fault", "first start",
                "next start (fault-free)", "");
    size_t failed = 0;
    for (const std::string& phase : brelk_matrix::Phases()) {
        bool any = false;
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = *rows[i];
            if (phase != row.Phase) {
                continue;
            }
            if (!any) {
                std::printf("\n");
                any = true;
            }
            std::string fault = row.Plan;
            if (row.PresetState >= 0) {
                fault += " (at counter " + std::to_string(row.PresetCounter) + ")";
            }
            const bool ok = results[i].Mismatches.empty();
            failed += ok ? 0 : 1;
            std::printf("%-14s %-50s %-52s %-40s %s\n", row.Phase, fault.c_str(),
                        brelk_matrix::Summary(results[i].First).c_str(),
                        brelk_matrix::Summary(results[i].Next).c_str(), ok ? "ok" : "WRONG");
        }
    }
    if (failed != 0) {
        std::printf("\n%zu of %zu rows did not hold:\n", failed, rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            for (const auto& m : results[i].Mismatches) {
                std::printf("  %s %s: %s\n", rows[i]->Phase, rows[i]->Plan, m.c_str());
            }
        }
        return 1;
    }
    std::printf("\nall %zu rows held\n", rows.size());
    return 0;
}
