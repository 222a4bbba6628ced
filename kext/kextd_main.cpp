// tarsel-kextd: the simulated kernel driver.
//   tarsel-kextd [--socket PATH] [--plug MODEL]... [--plug-darwin8 MODEL]...
// Serves kextwire::socketPath() unless --socket says otherwise, and plugs the models named: a
// name of the catalogue (tarsel-kextctl models), "default", or file:PATH for a model file.
// Prints nothing while it runs; SIGINT or SIGTERM stops it and removes the socket.
#include <glib-unix.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "KextSocket.h"
#include "KextWire.h"
#include "kext/Daemon.h"
#include "kext/InterfaceBehaviour.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: tarsel-kextd [--socket PATH] [--plug MODEL]... [--plug-darwin8 MODEL]...\n");
    return 2;
}

gboolean onSignal(gint, GIOCondition, gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path = kextwire::socketPath();
    std::vector<std::pair<std::string, uint32_t>> plugs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        if (arg == "--socket")
            path = argv[++i];
        else if (arg == "--plug")
            plugs.emplace_back(argv[++i], 0);
        else if (arg == "--plug-darwin8")
            plugs.emplace_back(argv[++i], kextwire::kPlugDarwin8);
        else
            return usage();
    }
    signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM arrive through a descriptor on the daemon's own context; no helper
    // thread, nothing done in a signal handler.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    int signals = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);

    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    int status = 0;
    {
        kext::Daemon daemon(kext::makeBehaviourFactory(), context);
        std::string error;
        if (!daemon.listen(path, error)) {
            std::fprintf(stderr, "tarsel-kextd: %s\n", error.c_str());
            status = 1;
        }
        for (const auto& [model, options] : plugs) {
            if (status != 0)
                break;
            kern_return_t kr = daemon.plug(model, options);
            if (kr != kIOReturnSuccess) {
                const auto* factory = dynamic_cast<const kext::InterfaceFactory*>(&daemon.factory());
                if (factory != nullptr && !factory->lastError().empty())
                    std::fprintf(stderr, "tarsel-kextd: cannot plug %s: %s\n", model.c_str(),
                                 factory->lastError().c_str());
                else
                    std::fprintf(stderr, "tarsel-kextd: cannot plug %s (0x%08x)\n", model.c_str(), unsigned(kr));
                status = 1;
            }
        }
        if (status == 0 && signals < 0) {
            std::fprintf(stderr, "tarsel-kextd: cannot watch signals\n");
            status = 1;
        }
        if (status == 0) {
            GSource* source = g_unix_fd_source_new(signals, G_IO_IN);
            g_source_set_callback(source, G_SOURCE_FUNC(onSignal), loop, nullptr);
            g_source_attach(source, context);
            g_main_loop_run(loop);
            g_source_destroy(source);
            g_source_unref(source);
        }
    }
    if (signals >= 0)
        close(signals);
    g_main_loop_unref(loop);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return status;
}
