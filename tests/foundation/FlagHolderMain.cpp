// foundation_flag_holder KEY: registers as the updater flag's holder under KEY (a number) and
// leaves through the normal exit path; exit status 0 if it held the flag.
#include <sys/shm.h>

#include <cstdlib>

#include "foundation/OSSharedMemory.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const SInt32 key = SInt32(std::strtol(argv[1], nullptr, 0));
    setUpdaterFlagKey(key);
    const bool held = fwupdateRegister() && shmget(key_t(key), 0, 0) != -1;
    std::exit(held ? 0 : 1);
}
