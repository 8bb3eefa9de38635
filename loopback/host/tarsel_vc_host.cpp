// tarsel_vc_host: loads the client's channel add-in as FreeRDP 2 would and
// connects its channels to the Windows programs under Wine through vcrelay,
// without a remote desktop.
//
//   tarsel_vc_host --addin PATH.so --listen PORT [--option OPT]...
//                  [--split freerdp|random] [--seed N] [--seconds N]
//                  [--roam SECONDS[,GAP]] [--exit-on LINE-PREFIX] [--trace-frames]
//
// --listen 0: any free port (the line "listening on 127.0.0.1:PORT" says which).
// --option: one option of the add-in, as after the commas of
//   /vc:tarsel,OPT,OPT (argv[0] is "tarsel").
// --split freerdp (default): each relay frame is one server write, handed on
//   in pieces of at most 1600 bytes; random: frames that come together are
//   merged and cut into writes and pieces anywhere (seeded by --seed).
// --roam: SECONDS after the start the add-in is told DISCONNECTED, the
//   channels' connections close and the relay leaves the session; GAP (2)
//   seconds later the relay comes back and the add-in is told CONNECTED.
//   With SECONDS "usr1" the roam comes when the host gets SIGUSR1 (a script
//   leaves the session at a step of its own).
// --exit-on: ends once the add-in's log (its log:FILE option) has a line
//   beginning with LINE-PREFIX.
// --trace-frames: a line per frame each way, with its header's words.
// It ends on SIGTERM, SIGINT, --seconds or --exit-on: DISCONNECTED,
// TERMINATED, the add-in unloaded, a summary line, exit code 0.
#include "channel_host.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();

void Print(const std::string &line)
{
    static std::mutex lock;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
    std::lock_guard<std::mutex> hold(lock);
    std::printf("tarsel_vc_host: %s ms=%.1f\n", line.c_str(), ms);
    std::fflush(stdout);
}

// Whether the file has a line beginning with `prefix`; `offset` keeps
// where the last look ended, so that each line is read once.
bool LogHasLine(const std::string &path, const std::string &prefix, std::streamoff *offset)
{
    std::ifstream in(path);
    if (!in)
        return false;
    in.seekg(*offset);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof())
            break;   // a line still being written
        *offset = in.tellg();
        if (line.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

int Usage()
{
    std::fprintf(stderr, "usage: tarsel_vc_host --addin PATH.so --listen PORT [--option OPT]... [--split freerdp|random]\n"
                         "                      [--seed N] [--seconds N] [--roam SECONDS[,GAP]] [--exit-on LINE-PREFIX]\n"
                         "                      [--trace-frames]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    vchost::HostOptions options;
    std::string addin, exitOn;
    long port = 0;
    double seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--trace-frames") {
            options.traceFrames = true;
            continue;
        }
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value)
            return Usage();
        ++i;
        if (a == "--addin")
            addin = value;
        else if (a == "--listen")
            port = std::strtol(value, nullptr, 10);
        else if (a == "--option")
            options.addinOptions.push_back(value);
        else if (a == "--split" && (!std::strcmp(value, "freerdp") || !std::strcmp(value, "random")))
            options.randomSplit = !std::strcmp(value, "random");
        else if (a == "--seed")
            options.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
        else if (a == "--seconds")
            seconds = std::atof(value);
        else if (a == "--roam") {
            char *end = nullptr;
            if (std::strncmp(value, "usr1", 4) == 0) {
                options.roamOnSignal = true;
                options.roamAfterSeconds = 0;
                end = const_cast<char *>(value) + 4;
            } else {
                options.roamAfterSeconds = std::strtod(value, &end);
            }
            if (*end == ',')
                options.roamGapSeconds = std::strtod(end + 1, &end);
            if (*end || options.roamAfterSeconds < 0 || options.roamGapSeconds < 0)
                return Usage();
        } else if (a == "--exit-on")
            exitOn = value;
        else
            return Usage();
    }
    if (addin.empty() || port < 0 || port > 65535)
        return Usage();
    std::string logFile;
    for (const std::string &o : options.addinOptions) {
        if (o.compare(0, 4, "log:") == 0)
            logFile = o.substr(4);
    }
    if (!exitOn.empty() && logFile.empty()) {
        std::fprintf(stderr, "tarsel_vc_host: --exit-on reads the add-in's log: give --option log:FILE\n");
        return 2;
    }

    // The signals are taken here, by the main thread alone.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vchost::CChannelHost host(options, Print);
    std::string error;
    if (!host.Load(addin, &error)) {
        Print("cannot load the add-in: " + error);
        return 1;
    }
    if (!host.Start(static_cast<uint16_t>(port), &error)) {
        Print("cannot listen: " + error);
        host.Stop();
        return 1;
    }
    Print("listening on 127.0.0.1:" + std::to_string(host.Port()));
    // Only lines of this run: the add-in appends to its log.
    std::streamoff logOffset = 0;
    if (!logFile.empty()) {
        std::ifstream before(logFile, std::ios::ate);
        if (before)
            logOffset = before.tellg();
    }
    std::string why = "the time is up";
    for (;;) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal == SIGUSR1) {
            host.RoamNow();
            continue;
        }
        if (signal == SIGTERM || signal == SIGINT) {
            why = signal == SIGTERM ? "SIGTERM" : "SIGINT";
            break;
        }
        if (seconds > 0 && Clock::now() - g_start >= std::chrono::duration<double>(seconds))
            break;
        if (!exitOn.empty() && LogHasLine(logFile, exitOn, &logOffset)) {
            why = "the add-in's log has \"" + exitOn + "\"";
            break;
        }
    }
    Print("ending: " + why);
    host.Stop();
    Print(host.Summary());
    return 0;
}
