// Runs the races around a stop many times under the service control manager, each cycle on a
// service name of its own, and counts what was lost: a cycle that did not end STOPPED, left the
// wrapper or its child running, or hung past its bounded wait.
//   service_soak.exe [cycles]             runs the soak (1000 cycles when not given)
//   service_soak.exe --delete-services    only deletes the entries a broken run may have left
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "WrappedService.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const NamePrefix = "VornicSoak";

int DeleteServices() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr) {
        return 1;
    }
    std::vector<std::string> names;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusA(manager, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &count,
                        &resume);
    std::vector<ENUM_SERVICE_STATUSA> services(needed / sizeof(ENUM_SERVICE_STATUSA) + 1);
    resume = 0;
    if (EnumServicesStatusA(manager, SERVICE_WIN32, SERVICE_STATE_ALL, services.data(),
                            static_cast<DWORD>(services.size() * sizeof(ENUM_SERVICE_STATUSA)),
                            &needed, &count, &resume)) {
        for (DWORD i = 0; i < count; ++i) {
            if (std::strncmp(services[i].lpServiceName, NamePrefix, std::strlen(NamePrefix)) == 0) {
                names.push_back(services[i].lpServiceName);
            }
        }
    }
    CloseServiceHandle(manager);
    for (const std::string& name : names) {
        StopAndDelete(name);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--delete-services") == 0) {
        return DeleteServices();
    }
    const long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    if (cycles <= 0) {
        std::printf("usage: service_soak.exe [cycles] | --delete-services\n");
        return 2;
    }
    std::mt19937 random(20261209);
    std::uniform_int_distribution<DWORD> delay(0, 120);
    const std::string report = TempPath("soak.report");
    const std::string run = std::to_string(GetTickCount64());
    const ULONGLONG begin = GetTickCount64();
    long stopped = 0, leftBehind = 0, notStarted = 0, badExit = 0, unwatched = 0;
    long startAnswered1053 = 0;
    for (long cycle = 0; cycle < cycles; ++cycle) {
        const std::string name = NamePrefix + run + "_" + std::to_string(cycle);
        const std::string launch = RaceLaunch(static_cast<int>(cycle), delay(random), report);
        const TStopRace race = RunStopRace(name, launch, delay(random));
        if (!race.Started) {
            ++notStarted;
            std::printf("soak: cycle %ld did not start (error %lu)\n", cycle, race.StartError);
        } else {
            stopped += race.Stopped ? 1 : 0;
            unwatched += race.Watched ? 0 : 1;
            startAnswered1053 += race.StartError == ERROR_SERVICE_REQUEST_TIMEOUT ? 1 : 0;
            leftBehind += race.Watched && (race.ExitCode == STILL_ACTIVE || race.ChildLeftBehind);
            badExit += race.Watched && race.ExitCode != STILL_ACTIVE && race.ExitCode != 0;
        }
        if (race.Started &&
            (!race.Stopped || !race.Watched || race.ExitCode != 0 || race.ChildLeftBehind)) {
            std::printf("soak: cycle %ld (launch \"%s\"): STOPPED %d, watched %d, the wrapper's "
                        "exit code %lu, child left %d\n",
                        cycle, launch.c_str(), race.Stopped, race.Watched, race.ExitCode,
                        race.ChildLeftBehind);
        }
        // A cycle that started and did not end STOPPED within the bounded wait hung.
        const long hung = cycle + 1 - notStarted - stopped;
        if ((cycle + 1) % 100 == 0) {
            std::printf("soak: %ld cycles, %ld STOPPED, %ld left a process behind, %ld hung, "
                        "%.0f s\n",
                        cycle + 1, stopped, leftBehind, hung,
                        static_cast<double>(GetTickCount64() - begin) / 1000);
            std::fflush(stdout);
        }
    }
    DeleteFileA(report.c_str());
    const auto line = [](const char* what, long count) {
        std::printf("  %-42s %ld\n", what, count);
    };
    std::printf("\nsoak: %ld cycles run\n", cycles);
    line("ended STOPPED", stopped);
    line("left the wrapper or its child behind", leftBehind);
    line("hung past the bounded wait (15 s)", cycles - notStarted - stopped);
    line("did not start", notStarted);
    line("wrapper ended before it could be watched", unwatched);
    // Wine's StartServiceA says 1053 when the service has already stopped itself by then.
    line("started, though StartServiceA said 1053", startAnswered1053);
    line("wrapper ended with another code", badExit);
    std::printf("  %-42s %.1f s\n", "wall time",
                static_cast<double>(GetTickCount64() - begin) / 1000);
    // A cycle that did not start counts as lost too: the wrapper may have failed to connect.
    const bool lost = stopped != cycles || leftBehind != 0 || badExit != 0;
    std::printf("%s\n", lost ? "FAIL: something was lost or hung" : "nothing lost, nothing hung");
    return lost ? 1 : 0;
}
