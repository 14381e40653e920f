#pragma once
// The fault matrix: every fault of the modem's and the flash library's plans (and a few
// of the framework host's), each injected in a phase of an update where it applies, with
// what the first start must leave behind. The next, fault-free start must then do what
// the retry policy says (NextStart). One table for the suite and for the brelk-matrix
// tool that prints it.
#include <string>
#include <vector>

#include "UpdateRun.h"

namespace brelk_matrix {

struct Expect {
    const char* Decision;  // upgrade, current, failed (the start failed)
    int State;             // persisted after the start; -1 missing
    int Counter;
    bool ModemNew;         // the modem runs the image's firmware afterwards
    const char* Commands;  // what the modem was sent, ShortCommands form
    int Items;             // items the modem's loader verified
};

struct Row {
    const char* Phase;
    const char* Plan;  // fault plan of the first start
    Expect First;
    int PresetState = -1;  // staged before the first start; -1: a new machine
    int PresetCounter = -1;
};

const std::vector<Row>& Rows();

// The phases in update order, for the printed table.
const std::vector<std::string>& Phases();

// A name fit for a test: letters, digits and underscores.
std::string RowName(const Row& row);

struct RowResult {
    StartResult First;
    StartResult Next;
    PolicyStep NextWant;
    std::vector<std::string> Mismatches;  // empty: the row held
};

// Runs the row's two starts on a fresh machine and checks both, and the database.
RowResult RunRow(const Row& row, const std::string& binFolder, double timeScale);

// One start in a few words: "upgrade -> 4/0, 1.0.0, 0 items, sent q1 q3 s4 f1 s5".
std::string Summary(const StartResult& start);

}  // namespace brelk_matrix
