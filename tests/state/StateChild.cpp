// A driver process for the durability test:
//   brelk_state_child write <machine folder> <state>   stores the state, then dies by SIGKILL
//   brelk_state_child read <machine folder>            prints the stored state
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DevicePeer.h"
#include "TestMachine.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    brelk::test::Machine machine(brelk::test::Machine::Existing{argv[2]});
    if (FAILED(machine.StartAttachedDevice())) {
        return 3;
    }
    if (strcmp(argv[1], "write") == 0 && argc == 4) {
        const UCHAR state = static_cast<UCHAR>(atoi(argv[3]));
        if (FAILED(machine.Device()->WriteProgressState(machine.FxDevice(), &state))) {
            return 4;
        }
        // Power lost right after the write returned: nothing is flushed or closed.
        kill(getpid(), SIGKILL);
        return 5;
    }
    if (strcmp(argv[1], "read") == 0) {
        UCHAR state = 0xEE;
        const HRESULT hr = machine.Device()->ReadProgressState(machine.FxDevice(), &state);
        printf("%08X %u\n", static_cast<unsigned>(hr), state);
        machine.Stop();
        return 0;
    }
    return 2;
}
