#include "common/WorkerThread.h"

#include <signal.h>

namespace crashreports {

void blockAllSignals()
{
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace crashreports
