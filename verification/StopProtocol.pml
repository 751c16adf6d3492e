/*
 * The service's start and stop protocol, as src/service/ServiceRuntime.cpp and
 * src/app/Worker.cpp run it, for SPIN to check in every interleaving. One step per read, write
 * or exchange of a shared value, named as in the code; StopProtocol.map beside this file ties each
 * step to the code (scripts/check-tie.pl), and README.md says what is assumed.
 *
 * Switches (spin -D...) put back an earlier protocol or a known fault, or take a road with a
 * known window; scripts/verify.sh names them. Bounds: STOP_CONTROLS, INTERROGATES.
 *
 * Threads, as the replayed trails number them: 1 main (the dispatcher on Windows),
 * 2 ServiceMain, 3 the worker, 4 Wine's dispatcher thread.
 */

#define SERVICE_STOPPED       1
#define SERVICE_START_PENDING 2
#define SERVICE_STOP_PENDING  3
#define SERVICE_RUNNING       4
#define ProcessEnding         8

#define SERVICE_CONTROL_STOP        1
#define SERVICE_CONTROL_INTERROGATE 4

#define MAIN         1
#define SERVICE_MAIN 2
#define WORKER       3
#define DISPATCHER   4

#define NO_CHILD  0
#define SUSPENDED 1
#define ALIVE     2
#define GONE      3

#define BY_ENTRY      1
#define BY_CHILD_CODE 2
#define BY_KILL       3
#define BY_NO_HANDLER 4

#ifndef STOP_CONTROLS
#define STOP_CONTROLS 2
#endif
#ifndef INTERROGATES
#define INTERROGATES 1
#endif

/* A property that fails names itself in the replayed trail, then fails its assertion. With
   ONLY, the other properties are not checked: a put-back fault must fail the one it names. */
#ifdef ONLY
#define CHECK(cond, name) \
    if :: !(cond) && name == ONLY -> printf("VIOLATED %e\n", name); assert(cond) :: else fi
#else
#define CHECK(cond, name) if :: !(cond) -> printf("VIOLATED %e\n", name) :: else fi; assert(cond)
#endif

#ifdef PROCESS_END_UNCLAIMED
#define StopMayBegin(state) ((state) != SERVICE_STOP_PENDING && (state) != SERVICE_STOPPED)
#else
#define StopMayBegin(state) \
    ((state) != SERVICE_STOP_PENDING && (state) != SERVICE_STOPPED && ((state) & ProcessEnding) == 0)
#endif

mtype = { stopped_last, running_not_after_stop_pending, worker_destroyed_once,
          worker_not_used_after_destroy, no_wait_for_ever, no_child_left, no_suspended_child_left,
          no_child_at_stopped,
          stop_ends_stopped_with_0, handler_returned, controls_answered,
          status_handle_registered, no_report_of_state_0 };

/* ServiceRuntime.cpp */
byte CurrentState;
bit StatusHandle;
bit StoppedExitCode;   /* 0, or a launch error */
bit StoppedReported;
byte HandlersRunning;
byte ReportLock;       /* the owner's thread, or 0 */

/* Worker.cpp: Worker, WorkerLock, and the members of the one TExecuteThread */
bit Worker;
byte WorkerLock;
bit StopRequested;
bit FreeWhenDone;
bit ExecuteDone;
bit ThreadCreated;     /* ThreadHandle and ThreadId are set */

/* The object's life and its thread, for the properties */
bit workerAlive;
bit destructorRan;
bit threadResumed;
bit threadEnded;

/* The child, and whether it is in a job whose handle is open */
byte child = NO_CHILD;
bit childFailed;       /* it ended with a code other than 0 */
bit childInJob;

/* The platform */
bit wine;              /* the handler runs on Wine's dispatcher thread and answers after it */
byte serviceCs;        /* Wine's service_cs: held around a handler, taken by a STOPPED report */
bit stopService;       /* ends Wine's main loop */
byte pipe;             /* a control written by the manager that the dispatcher has not read */
bit dispatcherBusy;    /* Wine's dispatcher thread has read a control and not yet answered it */
bit controlHandler;    /* a control's handler has been entered and has not returned */

/* The service control manager's record */
bit unanswered;        /* a control sent whose answer has not come */
bit reported;
bit reportedStopPending;
bit reportedStopped;
bit serviceMainReturned;

/* The process */
bit processEnded;
byte processExitCode;

/* ExitProcess, or the kill: checks the properties of the road the process ends by. */
inline ProcessEnd(code, road) {
    atomic {
        processExitCode = code;
        /* The process's handles close: the job's last handle ends what is in it. */
        if
        :: childInJob && (child == SUSPENDED || child == ALIVE) -> child = GONE
        :: else
        fi;
        printf("the process ends with %d\n", code);
        CHECK(child != ALIVE, no_child_left);
        CHECK(child != SUSPENDED, no_suspended_child_left);
        if
        :: road != BY_KILL ->
            CHECK(!reportedStopPending || (reportedStopped && code == 0), stop_ends_stopped_with_0)
        :: else
        fi;
        if
        :: road == BY_ENTRY ->
            CHECK(!controlHandler, handler_returned);
            CHECK(!unanswered, controls_answered);
            CHECK(!Worker, worker_destroyed_once)
        :: else
        fi;
        /* Last: from here on no thread of the process takes a step. */
        processEnded = 1
    }
}

/* The manager records the report. Under Wine a STOPPED report then takes service_cs (its own
   thread may hold it already) and ends the main loop. */
inline SetServiceStatus(tid, state) {
    atomic {
        CHECK(StatusHandle, status_handle_registered);
        CHECK(state != 0, no_report_of_state_0);
        CHECK(!(state == SERVICE_RUNNING && reportedStopPending), running_not_after_stop_pending);
        CHECK(!reportedStopped, stopped_last);
        CHECK(state != SERVICE_STOPPED || (child != SUSPENDED && child != ALIVE),
              no_child_at_stopped);
        reported = 1;
        if
        :: state == SERVICE_START_PENDING -> printf("%d: reports START_PENDING\n", tid)
        :: state == SERVICE_RUNNING -> printf("%d: reports RUNNING\n", tid)
        :: state == SERVICE_STOP_PENDING ->
            reportedStopPending = 1;
            printf("%d: reports STOP_PENDING\n", tid)
        :: state == SERVICE_STOPPED ->
            reportedStopped = 1;
            printf("%d: reports STOPPED, exit code %d\n", tid, exitCode)
        fi
    }
    if
    :: wine && state == SERVICE_STOPPED ->
        if
        :: serviceCs == tid -> stopService = 1
        :: else ->
            atomic { serviceCs == 0 -> serviceCs = tid };
            stopService = 1;
            serviceCs = 0
        fi
    :: else
    fi
}

inline ReportServiceStatus(tid) {
    atomic { ReportLock == 0 -> ReportLock = tid };
    state = CurrentState & ~ProcessEnding;
    if
    :: state == SERVICE_STOPPED ->
        exitCode = StoppedExitCode;
        ReportLock = 0;
#ifdef NO_STOPPED_GUARD
        wasReported = 0;
#else
        atomic { wasReported = StoppedReported; StoppedReported = 1 };
#endif
        if
        :: !wasReported -> SetServiceStatus(tid, state)
        :: else
        fi
    :: else ->
        SetServiceStatus(tid, state);
        ReportLock = 0
    fi
}

/* MoveWhileStopMayBegin: to STOP_PENDING in RunControl, to state | ProcessEnding in
   BeginProcessEnd. */
inline CompareExchangeWhileStopMayBegin(newState) {
    began = 0;
    state = CurrentState;
    do
    :: StopMayBegin(state) ->
        atomic {
            if
            :: CurrentState == state -> CurrentState = newState; began = 1
            :: else -> state = CurrentState
            fi
        }
        if
        :: began -> break
        :: else
        fi
    :: else -> break
    od
}

/* ~TExecuteThread, then the release of the object. */
inline DestroyWorker(tid) {
    atomic {
        CHECK(workerAlive && !destructorRan, worker_destroyed_once);
        destructorRan = 1;
        FreeWhenDone = 0;
        printf("%d: destroys the worker\n", tid)
    }
    atomic { CHECK(workerAlive, worker_not_used_after_destroy); done = ExecuteDone };
    if
    :: ThreadCreated && !done ->
        atomic {
            CHECK(workerAlive, worker_not_used_after_destroy);
            StopRequested = 1;
            printf("%d: requests the stop, waits for the worker thread\n", tid)
        }
        CHECK(tid != WORKER, no_wait_for_ever);
        threadEnded
    :: else
    fi;
    workerAlive = 0
}

inline StopWorker(tid) {
#ifndef OLD_START
    atomic { WorkerLock == 0 -> WorkerLock = tid };
#endif
#ifdef WORKER_NO_EXCHANGE
    taken = Worker;
    atomic { Worker = 0; printf("%d: StopWorker takes worker %d\n", tid, taken) };
#else
    atomic { taken = Worker; Worker = 0; printf("%d: StopWorker takes worker %d\n", tid, taken) };
#endif
#ifndef OLD_START
    WorkerLock = 0;
#endif
    if
    :: taken -> DestroyWorker(tid)
    :: else
    fi
}

inline RunControl(tid, control, stopExitCode) {
    if
    :: control == SERVICE_CONTROL_STOP ->
        CompareExchangeWhileStopMayBegin(SERVICE_STOP_PENDING);   /* RunControl's move */
        if
        :: !began -> ReportServiceStatus(tid)
        :: else ->
#ifndef OLD_EXIT
            StoppedExitCode = stopExitCode;
#endif
            ReportServiceStatus(tid);
            StopWorker(tid);   /* OnServiceStop */
            CurrentState = SERVICE_STOPPED;
            ReportServiceStatus(tid)
        fi
    :: control == SERVICE_CONTROL_INTERROGATE -> ReportServiceStatus(tid)
    fi
}

inline CountedControl(tid, control, stopExitCode) {
    atomic { HandlersRunning++; controlHandler = controlHandler || tid == MAIN || tid == DISPATCHER };
    RunControl(tid, control, stopExitCode);
    atomic { HandlersRunning--; controlHandler = controlHandler && tid != MAIN && tid != DISPATCHER }
}

inline StopService(tid, win32ExitCode) {
#ifdef OLD_EXIT
    StoppedExitCode = win32ExitCode;
#endif
    CountedControl(tid, SERVICE_CONTROL_STOP, win32ExitCode)
}

/* new TExecuteThread: the constructor creates the thread suspended, or fails to. */
inline NewWorker(tid) {
    atomic {
        workerAlive = 1;
        FreeWhenDone = 1;
        if
        :: ThreadCreated = 1; run WorkerThread(); printf("%d: creates the worker\n", tid)
        :: ThreadCreated = 0; printf("%d: creates the worker, CreateThread fails\n", tid)
        fi
    }
}

inline AfterConstruction(tid) {
    atomic {
        CHECK(workerAlive, worker_not_used_after_destroy);
        threadResumed = 1;
        printf("%d: resumes the worker thread\n", tid)
    }
}

inline StartWorker(tid) {
#ifdef OLD_START
    if
    :: Worker
    :: else ->
        NewWorker(tid);
        Worker = 1;
        atomic { CHECK(workerAlive, worker_not_used_after_destroy); withoutThread = !ThreadCreated };
        if
        :: withoutThread -> StopService(tid, 0)
        :: else -> AfterConstruction(tid)
        fi
    fi
#else
    atomic { WorkerLock == 0 -> WorkerLock = tid };
    withoutThread = 0;
    if
    :: Worker == 0 ->
        state = CurrentState;   /* StopHasBegun */
        if
#ifdef START_WITHOUT_STOP_TEST
        :: true ->
#else
        :: state != SERVICE_STOP_PENDING && state != SERVICE_STOPPED ->
#endif
            NewWorker(tid);
            atomic { CHECK(workerAlive, worker_not_used_after_destroy); withoutThread = !ThreadCreated };
            if
            :: withoutThread -> DestroyWorker(tid)
            :: else ->
                Worker = 1;
                AfterConstruction(tid)
            fi
        :: else -> printf("%d: StartWorker finds the stop begun\n", tid)
        fi
    :: else
    fi;
    WorkerLock = 0;
    if
    :: withoutThread -> StopService(tid, 0)
    :: else
    fi
#endif
}

/* TExecuteThread::Execute; launchError is what it returns. */
inline Execute() {
    launchError = 0;
    if
    :: launchError = 1; printf("3: PrepareChildLaunch finds no program, or refuses it\n"); goto executed
    :: skip
    fi;
#ifndef OLD_START
    atomic { CHECK(workerAlive, worker_not_used_after_destroy); requested = StopRequested };
    if
    :: requested -> printf("3: StopRequested: no child\n"); goto executed
    :: else
    fi;
#endif
#ifdef NO_JOB
    job = 0;
#else
    job = 1;   /* CreateWrapperJob */
#endif
    /* CreateProcessA with the job in its attribute list; with PRE_WIN10 (or a batch file that
       Wine starts through cmd.exe) the child is made outside the job. */
    atomic {
        if
        :: launchError = 1; printf("3: CreateProcessA fails\n")
#ifdef PRE_WIN10
        :: child = SUSPENDED; printf("3: creates the child, suspended, outside the job\n")
#else
        :: child = SUSPENDED; childInJob = job; printf("3: creates the child, suspended, job %d\n", job)
#endif
        fi
    }
    if
    :: launchError -> goto executed
    :: else
    fi;
#ifndef TRUST_JOB_LIST
    /* IsProcessInJob, and AssignProcessToJobObject when the child is not in the job */
    if
    :: job && !childInJob -> childInJob = 1; printf("3: assigns the child to the job\n")
    :: else
    fi;
#endif
    atomic { child = ALIVE; printf("3: resumes the child\n") };
    ended = 0;
    do
    :: atomic { CHECK(workerAlive, worker_not_used_after_destroy); requested = StopRequested };
        if
        :: requested -> printf("3: the watch reads StopRequested\n"); break
        :: else ->
            /* WaitForSingleObject(child, WatchSliceMs). A slice that times out with nothing
               changed only repeats the loop, so it is taken once a stop was requested. */
end_watch:  if
            :: child == GONE -> ended = 1; printf("3: the watch sees the child gone\n"); break
            :: StopRequested
            fi
        fi
    od;
    failedCode = ended && childFailed;   /* GetExitCodeProcess */
    if
    :: failedCode ->
#ifdef OLD_EXIT
        ProcessEnd(3, BY_CHILD_CODE)
#else
        CompareExchangeWhileStopMayBegin(state | ProcessEnding);   /* BeginProcessEnd */
        if
        :: began -> ProcessEnd(3, BY_CHILD_CODE)
        :: else -> printf("3: the stop has begun: it ends the process\n")
        fi
#endif
    :: else
    fi;
    /* TerminateThread, TerminateProcess, and the wait for the child to be gone */
    atomic { child = GONE; printf("3: ends the child\n") };
    childInJob = 0;   /* CloseHandle(job) */
executed:
    skip
}

/* TExecuteThread::ThreadEntry */
proctype WorkerThread() provided (!processEnded) {
    byte state;
    bit began, exitCode, wasReported, taken, done, withoutThread;
    bit launchError, requested, job, ended, failedCode, freeWhenDone, freeHere;
    threadResumed;   /* created suspended */
    Execute();
    atomic { CHECK(workerAlive, worker_not_used_after_destroy); skip };   /* ThreadResult */
    atomic { CHECK(workerAlive, worker_not_used_after_destroy); freeWhenDone = FreeWhenDone };
    if
    :: freeWhenDone ->
#ifdef WORKER_NO_EXCHANGE
        freeHere = Worker;
        if
        :: freeHere -> Worker = 0
        :: else
        fi;
        printf("3: takes itself out of Worker: %d\n", freeHere)
#else
        atomic { freeHere = Worker; Worker = 0; printf("3: takes itself out of Worker: %d\n", freeHere) }
#endif
    :: else -> freeHere = 0
    fi;
    atomic { CHECK(workerAlive, worker_not_used_after_destroy); ExecuteDone = 1 };
    if
    :: freeHere -> DestroyWorker(WORKER)
    :: else
    fi;
    StopService(WORKER, launchError);
    threadEnded = 1   /* ExitThread */
}

proctype ServiceMain() provided (!processEnded) {
    byte state;
    bit began, exitCode, wasReported, taken, done, withoutThread, running;
    StoppedReported = 0;
#ifndef OLD_REGISTRATION
    CurrentState = SERVICE_START_PENDING;
#endif
    /* RegisterServiceCtrlHandlerA; without a handle the process ends with the error */
    if
    :: ProcessEnd(5, BY_NO_HANDLER)
    :: StatusHandle = 1
    fi;
#ifdef OLD_REGISTRATION
    CurrentState = SERVICE_START_PENDING;
#endif
    ReportServiceStatus(SERVICE_MAIN);
    StartWorker(SERVICE_MAIN);   /* OnServiceStart */
#ifdef RUNNING_STORE
    CurrentState = SERVICE_RUNNING;
    running = 1;
#else
    atomic {
        if
        :: CurrentState == SERVICE_START_PENDING -> CurrentState = SERVICE_RUNNING; running = 1
        :: else -> running = 0
        fi
    }
#endif
    if
    :: running -> ReportServiceStatus(SERVICE_MAIN)
    :: else
    fi;
    serviceMainReturned = 1
}

/* Wine's thread that reads the controls and runs the handler under service_cs, then answers. */
proctype Dispatcher() provided (!processEnded) {
    byte state, control;
    bit began, exitCode, wasReported, taken, done;
end_read:
    do
    :: atomic { pipe != 0 -> control = pipe; pipe = 0; dispatcherBusy = 1 };
        atomic { serviceCs == 0 -> serviceCs = DISPATCHER };
        CountedControl(DISPATCHER, control, 0);   /* ServiceControlHandler */
        serviceCs = 0;
        atomic { unanswered = 0; dispatcherBusy = 0; printf("4: answers the control\n") }
    od
}

/* WinMain: RunEntry, RunService with its dispatcher, WaitForHandlersToReturn, ExitProcess. */
proctype Main() provided (!processEnded) {
    byte state, control;
    bit began, exitCode, wasReported, taken, done;
    run ServiceMain();
    if
    :: wine ->
        run Dispatcher();
end_wine:
        stopService;
        printf("1: Wine's main loop ends on STOPPED\n")
    :: else ->
        /* Windows runs the handler here, and returns once STOPPED has been reported and the
           controls written before it are answered. */
end_windows:
        do
        :: atomic { pipe != 0 -> control = pipe; pipe = 0 };
            CountedControl(MAIN, control, 0);   /* ServiceControlHandler */
            atomic { unanswered = 0; printf("1: answers the control\n") }
        :: reportedStopped && pipe == 0 -> printf("1: the dispatcher returns\n"); break
        od
    fi;
#ifndef NO_HANDLER_WAIT
    HandlersRunning == 0;
#ifndef NO_SLEEP_ASSUMPTION
    /* Sleep(1): long enough for Wine's dispatcher thread to run and answer a control that it
       has read, or that waits for it; after STOPPED a handler only reports again, or not. */
    pipe == 0 && !dispatcherBusy;
#endif
#endif
    ProcessEnd(0, BY_ENTRY)
}

/* The child: it ends by itself with 0 or another code, or runs until it is ended. */
active proctype Child() {
end:
    if
    :: atomic { child == ALIVE -> child = GONE; childFailed = 0; printf("child: ends with 0\n") }
    :: atomic { child == ALIVE -> child = GONE; childFailed = 1; printf("child: ends with 3\n") }
    fi
}

/* The service control manager: it starts the service; then, while it has not recorded STOPPED,
   it sends stop controls and interrogates from the first report on, each once the last has been
   answered. It may kill the process at any moment, as taskkill /f does. */
active proctype Manager() {
    byte stops, interrogates;
    bit killed;
    if
    :: wine = 1; printf("manager: starts the service; Wine runs the handler on a thread\n")
    :: wine = 0; printf("manager: starts the service; Windows runs the handler in main\n")
    fi;
    run Main();
end:
    do
    :: atomic {
        !processEnded && reported && !reportedStopped && !unanswered && stops < STOP_CONTROLS ->
        stops++;
        unanswered = 1;
        pipe = SERVICE_CONTROL_STOP;
        printf("manager: sends a stop\n")
    }
    :: atomic {
        !processEnded && StatusHandle && !reportedStopped && !unanswered &&
        interrogates < INTERROGATES ->
        interrogates++;
        unanswered = 1;
        pipe = SERVICE_CONTROL_INTERROGATE;
        printf("manager: sends an interrogate\n")
    }
#ifndef NO_KILL
    :: atomic {
        !processEnded && !killed ->
        killed = 1;
        printf("manager: kills the process\n");
        ProcessEnd(1, BY_KILL)
    }
#endif
    :: break
    od
}

/* When nothing can move any more, the process has ended, or the service runs as it should: the
   child alive, no stop begun, no control waiting for its answer, and no thread held anywhere but
   in the watch and the dispatcher's wait. Every loop of the model makes progress, so a wait that
   lasts for ever ends here. */
active proctype NoWaitForEver() {
    atomic {
        timeout ->
        CHECK(processEnded || (child == ALIVE && CurrentState == SERVICE_RUNNING && !unanswered &&
                               serviceMainReturned && HandlersRunning == 0 && ReportLock == 0 &&
                               WorkerLock == 0 && serviceCs == 0), no_wait_for_ever)
    }
}
