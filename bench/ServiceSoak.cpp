// Runs the races around a stop many times under the service control manager, each cycle on a
// service name of its own, and counts what was lost: a cycle that did not end STOPPED (or, when
// the wrapper was ended from outside or its child failed before the stop, with that code), left
// the wrapper or its child running, turned a stop taken into the child's code, or hung past its
// bounded wait.
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
    long ended = 0, leftBehind = 0, hung = 0, notStarted = 0, badExit = 0, unwatched = 0;
    long startAnswered1053 = 0, kills = 0, stopWon = 0, childCodeWon = 0, stopLost = 0;
    for (long cycle = 0; cycle < cycles; ++cycle) {
        const std::string name = NamePrefix + run + "_" + std::to_string(cycle);
        // Now and then the wrapper is ended from outside, or the stop meets a child that ends
        // with 3 at about the same moment.
        const bool kill = cycle % 10 == 7;
        const bool childFails = cycle % 10 == 8;
        const DWORD childLifeMs = delay(random);
        const std::string launch =
            kill         ? HelperLaunch(report, "run")
            : childFails ? HelperLaunch(report, "exit 3 " + std::to_string(childLifeMs))
                         : RaceLaunch(static_cast<int>(cycle), childLifeMs, report);
        const TStopRace race =
            RunStopRace(name, launch, delay(random), kill ? TRaceEnd::Kill : TRaceEnd::StopControl);
        if (!race.Started) {
            ++notStarted;
            std::printf("soak: cycle %ld did not start (error %lu)\n", cycle, race.StartError);
            continue;
        }
        unwatched += race.Watched ? 0 : 1;
        startAnswered1053 += race.StartError == ERROR_SERVICE_REQUEST_TIMEOUT ? 1 : 0;
        leftBehind += race.ChildLeftBehind ? 1 : 0;
        // A stop taken (STOP_PENDING reported) must end STOPPED with 0, whatever the child does.
        const bool lostStop = race.ExitCode == 3 && race.LastState == SERVICE_STOP_PENDING;
        bool ok = false;
        if (race.Watched && race.ExitCode == STILL_ACTIVE) {
            ++hung;
        } else if (kill) {
            ok = race.ExitCode == 1;
            kills += ok ? 1 : 0;
        } else if (childFails && race.ExitCode == 3) {
            ok = !lostStop;
            childCodeWon += ok ? 1 : 0;
            stopLost += lostStop ? 1 : 0;
        } else if (!race.Stopped) {
            ++hung;
        } else {
            ok = race.ExitCode == 0 || !race.Watched;
            stopWon += ok && childFails ? 1 : 0;
        }
        ok = ok && !race.ChildLeftBehind;
        ended += ok ? 1 : 0;
        badExit += !ok && !lostStop && race.Watched && race.ExitCode != STILL_ACTIVE ? 1 : 0;
        if (!ok) {
            std::printf("soak: cycle %ld (launch \"%s\"%s): STOPPED %d, last state %lu, "
                        "watched %d, the wrapper's exit code %lu, child left %d\n",
                        cycle, launch.c_str(), kill ? ", killed" : "", race.Stopped, race.LastState,
                        race.Watched, race.ExitCode, race.ChildLeftBehind);
        }
        if ((cycle + 1) % 100 == 0) {
            std::printf("soak: %ld cycles, %ld ended as they should, %ld left a process behind, "
                        "%ld hung, %.0f s\n",
                        cycle + 1, ended, leftBehind, hung,
                        static_cast<double>(GetTickCount64() - begin) / 1000);
            std::fflush(stdout);
        }
    }
    DeleteFileA(report.c_str());
    const auto line = [](const char* what, long count) {
        std::printf("  %-52s %ld\n", what, count);
    };
    std::printf("\nsoak: %ld cycles run\n", cycles);
    line("ended as they should", ended);
    line("  of them, wrappers ended from outside, child gone", kills);
    line("  stops as the child failed: the stop won", stopWon);
    line("  stops as the child failed: the child's code won", childCodeWon);
    line("left the wrapper or its child behind", leftBehind);
    line("hung past the bounded wait (15 s)", hung);
    line("stop taken, then the child's code ended the wrapper", stopLost);
    line("did not start", notStarted);
    line("wrapper ended before it could be watched", unwatched);
    // Wine's StartServiceA says 1053 when the service has already stopped itself by then.
    line("started, though StartServiceA said 1053", startAnswered1053);
    line("wrapper ended with another code", badExit);
    std::printf("  %-52s %.1f s\n", "wall time",
                static_cast<double>(GetTickCount64() - begin) / 1000);
    // A cycle that did not start counts as lost too: the wrapper may have failed to connect.
    const bool lost = ended != cycles;
    std::printf("%s\n", lost ? "FAIL: something was lost or hung" : "nothing lost, nothing hung");
    return lost ? 1 : 0;
}
