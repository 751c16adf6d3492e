// The wrapper run as a real service by Wine's service control manager, wrapping ChildHelper.
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "VornicService.h"
#include "WrappedService.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

const DWORD Generous = 15000;
// Seconds, not the milliseconds a stop takes: short of the worker's 5 s wait for a child.
const ULONGLONG PromptStopMs = 4000;

} // namespace

TEST(ServiceRuntime, StopTerminatesTheChildButNotItsChildren) {
    // ChildHelper starting a copy of itself, and a batch file whose cmd.exe waits for ping.exe.
    const struct {
        const char* Name;
        std::string Launch;
    } cases[] = {{"VornicStop", HelperLaunch(TempPath("stop.report"), "grandchild")},
                 {"VornicStopBatch",
                  Cmd + " /c " + WriteBatch("stop.bat", "@" + Ping + " -n 100000 127.0.0.1\r\n")}};
    for (const auto& c : cases) {
        TServiceEntry entry(c.Name, Wrapped(c.Name, c.Launch));
        ASSERT_TRUE(entry.Created());
        TWrapperProcess wrapper(entry.Name());
        ASSERT_TRUE(wrapper.Started);
        EXPECT_EQ(WaitForState(entry.Name(), SERVICE_RUNNING, Generous).dwCurrentState,
                  SERVICE_RUNNING);
        const TProcess child(StartedBy(GetProcessId(wrapper.Handle)));
        // Ended in the test's cleanup, since the stop leaves it running.
        const TProcess grandchild(StartedBy(child.Id()));
        ASSERT_TRUE(child.Started()) << c.Name;
        ASSERT_TRUE(grandchild.Started()) << c.Name;

        const ULONGLONG stopStart = GetTickCount64();
        SendControl(entry.Name(), SERVICE_CONTROL_STOP);
        const SERVICE_STATUS_PROCESS stopped =
            WaitForState(entry.Name(), SERVICE_STOPPED, Generous);
        EXPECT_EQ(stopped.dwCurrentState, SERVICE_STOPPED) << c.Name;
        // Promptly: a child left to the job's close would end only after the worker's 5 s wait.
        EXPECT_LT(GetTickCount64() - stopStart, PromptStopMs) << c.Name;
        // STOPPED means the child is gone: a restart must not find it holding its files or ports.
        EXPECT_FALSE(child.Runs()) << c.Name;
        EXPECT_EQ(stopped.dwWin32ExitCode, 0u) << c.Name;
        EXPECT_EQ(wrapper.ExitCode(), 0u) << c.Name;
        EXPECT_TRUE(grandchild.Runs()) << c.Name;
    }
}

TEST(ServiceRuntime, WrapperEndedFromOutsideTakesItsChildButNotItsGrandchild) {
    // As taskkill /f or a crash would end it. Wine then keeps the entry RUNNING with the dead
    // process, as after a child's non-zero exit below: a fresh name. A batch file named as the
    // program, which Wine starts through cmd.exe without the job list.
    const std::string launches[] = {
        HelperLaunch(TempPath("killed.report"), "grandchild"),
        WriteBatch("killed.bat", "@" + Ping + " -n 100000 127.0.0.1\r\n")};
    for (const std::string& launch : launches) {
        const std::string name = "VornicKilled" + std::to_string(GetTickCount64());
        TServiceEntry entry(name, Wrapped(name, launch));
        TWrapperProcess wrapper(name);
        ASSERT_TRUE(wrapper.Started) << launch;
        const TProcess child(StartedBy(GetProcessId(wrapper.Handle)));
        const TProcess grandchild(StartedBy(child.Id()));
        ASSERT_TRUE(child.Started()) << launch;
        ASSERT_TRUE(grandchild.Started()) << launch;
        ASSERT_TRUE(TerminateProcess(wrapper.Handle, 1));
        // Otherwise the next start would run a second copy beside it, as LocalSystem.
        EXPECT_TRUE(Gone(child)) << launch;
        EXPECT_TRUE(grandchild.Runs()) << launch;
    }
}

TEST(ServiceRuntime, ChildEndingWithZeroStopsTheService) {
    const struct {
        const char* Name;
        std::string Launch;
    } cases[] = {{"VornicZero", HelperLaunch(TempPath("zero.report"), "exit 0 500")},
                 {"VornicZeroBatch", Cmd + " /c " + WriteBatch("zero.bat", "@exit /b 0\r\n")}};
    for (const auto& c : cases) {
        TServiceEntry entry(c.Name, Wrapped(c.Name, c.Launch));
        TWrapperProcess wrapper(entry.Name());
        ASSERT_TRUE(wrapper.Started);
        const SERVICE_STATUS_PROCESS stopped =
            WaitForState(entry.Name(), SERVICE_STOPPED, Generous);
        EXPECT_EQ(stopped.dwCurrentState, SERVICE_STOPPED) << c.Name;
        EXPECT_EQ(stopped.dwWin32ExitCode, 0u) << c.Name;
        EXPECT_EQ(wrapper.ExitCode(), 0u) << c.Name;
    }
}

TEST(ServiceRuntime, ChildEndingWithACodeEndsTheWrapperWithThatCode) {
    const struct {
        std::string Launch;
        DWORD ExitCode;
    } cases[] = {{HelperLaunch(TempPath("three.report"), "exit 3 1000"), 3},
                 {Cmd + " /c " + WriteBatch("four.bat", "@exit /b 4\r\n"), 4}};
    for (const auto& c : cases) {
        // Wine keeps such a name taken until its wineserver restarts: use a fresh one.
        const std::string name =
            "VornicCode" + std::to_string(GetTickCount64()) + "_" + std::to_string(c.ExitCode);
        TServiceEntry entry(name, Wrapped(name, c.Launch));
        TWrapperProcess wrapper(name);
        ASSERT_TRUE(wrapper.Started);
        EXPECT_EQ(wrapper.ExitCode(), c.ExitCode) << c.Launch;
        EXPECT_EQ(OpenChildOf(wrapper.Handle), nullptr) << c.Launch;
        // The wrapper reports nothing: Wine then still shows RUNNING, Windows shows STOPPED
        // with 1067 (the process ended). A STOPPED report of the wrapper's own would carry 0.
        const SERVICE_STATUS_PROCESS status = QueryStatus(name);
        EXPECT_TRUE(status.dwCurrentState != SERVICE_STOPPED ||
                    status.dwWin32ExitCode == ERROR_PROCESS_ABORTED)
            << status.dwCurrentState << " " << status.dwWin32ExitCode;
    }
}

TEST(ServiceRuntime, LaunchCommandThatCannotStartStopsTheServiceWithTheLaunchError) {
    // The STOPPED report carries CreateProcessA's error, which sc query and the event log show:
    // 2 for a missing program, and for the other lines what CreateProcessA says here of them.
    const auto launchError = [](std::string line) {
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        EXPECT_FALSE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &info));
        return GetLastError();
    };
    const struct {
        std::string Launch;
        DWORD Error;
    } cases[] = {{"Z:\\no\\such\\program.exe -x", ERROR_FILE_NOT_FOUND},
                 {"Z:\\no such\\program -x", launchError("Z:\\no such\\program -x")},
                 {"", launchError("")}};
    for (const auto& c : cases) {
        TServiceEntry entry("VornicNoChild", Wrapped("VornicNoChild", c.Launch));
        TWrapperProcess wrapper(entry.Name());
        ASSERT_TRUE(wrapper.Started);
        const SERVICE_STATUS_PROCESS stopped =
            WaitForState(entry.Name(), SERVICE_STOPPED, Generous);
        EXPECT_EQ(stopped.dwCurrentState, SERVICE_STOPPED) << c.Launch;
        EXPECT_EQ(stopped.dwWin32ExitCode, c.Error) << c.Launch;
        EXPECT_NE(stopped.dwWin32ExitCode, 0u) << c.Launch;
        EXPECT_EQ(wrapper.ExitCode(), 0u) << c.Launch;
    }
}

TEST(ServiceRuntime, InterrogateReportsRunningAndPauseChangesNothing) {
    const std::string report = TempPath("interrogate.report");
    TServiceEntry entry("VornicAsk", Wrapped("VornicAsk", HelperLaunch(report, "run")));
    ASSERT_TRUE(StartServiceNamed(entry.Name()));
    ASSERT_EQ(WaitForState(entry.Name(), SERVICE_RUNNING, Generous).dwCurrentState,
              SERVICE_RUNNING);
    const TProcess child(ReportedPid(report));
    SC_HANDLE service = OpenServiceNamed(entry.Name());
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}) {
        EXPECT_FALSE(ControlService(service, control, &status)) << control;
    }
    CloseServiceHandle(service);
    EXPECT_EQ(QueryStatus(entry.Name()).dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(child.Runs());
}

TEST(ServiceRuntime, ChildRunsHiddenFromTheWrapperDirectoryWithItsEnvironment) {
    // Services get the system environment of the registry, which the test command gives a
    // marker before the session starts; it must reach the child through the wrapper.
    char marker[256] = {};
    DWORD size = sizeof(marker);
    ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE,
                           "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                           "VORNIC_TEST_MARKER", RRF_RT_REG_SZ, nullptr, marker, &size),
              ERROR_SUCCESS)
        << "scripts/test.sh sets VORNIC_TEST_MARKER in the system environment";
    // A relative launch command with a folder is taken from the wrapper's directory: the
    // child's own command line shows it (CreateProcessA would find the program without).
    const std::string directory = ExtractDirectory(FullPath(WrapperPath()));
    const std::string helper = FullPath(ChildHelperPath());
    ASSERT_EQ(helper.compare(0, directory.size(), directory), 0) << helper;
    const std::string report = TempPath("environment.report");
    const std::string launch = HelperLaunch(report, "run").substr(directory.size());
    TServiceEntry entry("VornicEnv", Wrapped("VornicEnv", launch));
    ASSERT_TRUE(StartServiceNamed(entry.Name()));
    auto fields = ReadReport(report, Generous);
    std::string commandLine = fields["commandline"];
    if (!commandLine.empty() && commandLine[0] == '"') {
        commandLine.erase(0, 1); // the program quoted, as when its path holds a blank
    }
    EXPECT_EQ(commandLine.compare(0, directory.size(), directory), 0) << fields["commandline"];
    EXPECT_EQ(fields["directory"] + "\\", directory);
    EXPECT_EQ(fields["hidden"], "yes");
    EXPECT_EQ(fields["marker"], marker);
}

TEST(ServiceRuntime, ChildInheritsTheWrapperInheritableHandles) {
    // An inheritable event is put into the wrapper before it starts the child; a child that
    // inherited it resets it through the same handle value. The put can lose the race with
    // the child's start, so a few services are tried.
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const std::string report = TempPath("inherit.report");
    const std::string valueFile = TempPath("inherit.value");
    bool reset = false;
    for (int attempt = 0; attempt < 20 && !reset; ++attempt) {
        DeleteFileA(valueFile.c_str());
        TServiceEntry entry("VornicInherit",
                            Wrapped("VornicInherit", HelperLaunch(report, "reset " + valueFile)));
        TWrapperProcess wrapper(entry.Name());
        ASSERT_TRUE(wrapper.Started);
        HANDLE inWrapper = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, wrapper.Handle, &inWrapper, 0, TRUE,
                                    DUPLICATE_SAME_ACCESS));
        const std::string value = std::to_string(reinterpret_cast<ULONG_PTR>(inWrapper));
        HANDLE file = CreateFileA(valueFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, value.data(), static_cast<DWORD>(value.size()), &written, nullptr);
        CloseHandle(file);
        ReadReport(report, Generous);
        reset = WaitForSingleObject(event, 0) == WAIT_TIMEOUT;
    }
    CloseHandle(event);
    EXPECT_TRUE(reset);
}

TEST(ServiceRuntime, StartedFromAConsoleStartsNothingAndEndsWithTheConnectionError) {
    const std::string report = TempPath("console.report");
    TProcess wrapper(Quoted(WrapperPath()) + " /name:VornicConsole /start:\"" +
                     HelperLaunch(report, "run") + "\"");
    ASSERT_TRUE(wrapper.Started());
    EXPECT_EQ(wrapper.WaitForExit(Generous), DWORD{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
    EXPECT_EQ(GetFileAttributesA(report.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(ServiceRuntime, StopsAtRandomMomentsAroundTheChildEndAlwaysEndStopped) {
    // A stop control and the child's own end, or a child that never starts, meet in every
    // order: each cycle must end STOPPED with exit code 0 and no child left behind.
    std::mt19937 random(20261208);
    std::uniform_int_distribution<DWORD> delay(0, 120);
    const std::string report = TempPath("stress.report");
    const int cycles = 100;
    const ULONGLONG run = GetTickCount64();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // A name per cycle: now and then Wine keeps a stopped entry marked for deletion
        // for the rest of the session, which would fail every later cycle.
        const std::string name = "VornicStress" + std::to_string(run) + "_" + std::to_string(cycle);
        const std::string launch = RaceLaunch(cycle, delay(random), report);
        const TStopRace race = RunStopRace(name, launch, delay(random));
        ASSERT_TRUE(race.Started) << cycle << " error " << race.StartError;
        ASSERT_TRUE(race.Stopped) << cycle;
        // A wrapper that could not start its child may end before it can be opened.
        ASSERT_TRUE(race.Watched || launch.empty()) << cycle;
        ASSERT_EQ(race.Watched ? race.ExitCode : 0u, 0u) << cycle;
        EXPECT_FALSE(race.ChildLeftBehind) << cycle;
    }
    DeleteFileA(report.c_str());
    std::printf("stress: %d cycles ended STOPPED with exit code 0\n", cycles);
}

TEST(WholeLife, InstallNetStartNetStopStartAgainUninstall) {
    // The first start and stop go through net.exe, as an administrator types them: each must
    // end with 0, which needs the stop control's answer to reach the service manager.
    const auto net = [](const char* verb, const std::string& service) {
        TProcess command(Net + " " + verb + " " + Quoted(service));
        return command.WaitForExit(Generous);
    };
    const std::string name = "Vornic Whole Life";
    const std::string report = TempPath("life.report");
    TServiceCleanup cleanup(name);
    ASSERT_EQ(RunWrapper(" -install -name:\"" + name + "\" -launch:\"" +
                             HelperLaunch(report, "run") + "\"",
                         Generous),
              0u);
    ASSERT_EQ(ConfigOf(name).StartType, static_cast<DWORD>(SERVICE_AUTO_START));

    for (int start = 1; start <= 2; ++start) {
        DeleteFileA(report.c_str());
        if (start == 1) {
            ASSERT_EQ(net("start", name), 0u);
        } else {
            ASSERT_TRUE(StartServiceNamed(name));
        }
        EXPECT_EQ(WaitForState(name, SERVICE_RUNNING, Generous).dwCurrentState, SERVICE_RUNNING);
        const auto fields = ReadReport(report, Generous);
        ASSERT_EQ(fields.count("pid"), 1u) << start;
        EXPECT_EQ(fields.at("hidden"), "yes");
        const TProcess child(static_cast<DWORD>(std::stoul(fields.at("pid"))));
        if (start == 1) {
            EXPECT_EQ(net("stop", name), 0u);
            EXPECT_EQ(WaitForState(name, SERVICE_STOPPED, Generous).dwCurrentState,
                      SERVICE_STOPPED);
        } else {
            // Uninstalling the running service stops its child and deletes the entry.
            EXPECT_EQ(RunWrapper(" -uninstall -name:\"" + name + "\"", Generous), 0u);
            EXPECT_TRUE(WaitUntilGone(name, Generous));
        }
        EXPECT_TRUE(Gone(child)) << start;
    }
}
