#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "FakeJvm.h"
#include "GlobalsScope.h"
#include "ProfilingSession.h"
#include "Sampler.h"
#include "StderrCapture.h"

extern "C" JNIEXPORT void JNICALL Java_com_tolvane_agent_callee_JvmtiCallee_record(JNIEnv*, jclass, jlong, jboolean,
                                                                               jboolean, jbyteArray);

namespace {

// What the fake JVM answers and what it saw. Reset by the fixture.
struct FakeState {
    jint jvmti11 = JNI_OK;
    jint jvmti10 = JNI_OK;
    jint jni = JNI_OK;
    std::vector<jint> versionsAsked;
    jvmtiError addCapabilities = JVMTI_ERROR_NONE;
    bool lineNumbersAsked = false;
    bool cpuTimePotential = true;
    jvmtiError addCpuTime = JVMTI_ERROR_NONE;
    int cpuTimeRequests = 0;
    jvmtiEventCallbacks callbacks;
    std::vector<jvmtiEvent> eventsEnabled;
    int monitorsCreated = 0;
    int failMonitorCreation = 0;  // the n-th CreateRawMonitor fails (from 1)
    jvmtiError monitorError = JVMTI_ERROR_OUT_OF_MEMORY;
    std::vector<jrawMonitorID> monitorsDestroyed;
    // JNI
    const char* javaVersion = "17.0.99";
    bool throwFromGetProperty = false;
    int jniCallsWithPendingException = 0;
    int localRefsMade = 0;
    int localRefsDeleted = 0;
    std::vector<std::string> classPathAdded;
};

FakeState state;
char monitorStorage[2];
char objectStorage[4];

harness::FakeJvm& jvm() {
    return harness::FakeJvm::current();
}

void jniCall() {
    if (jvm().exceptionPending) {
        state.jniCallsWithPendingException++;
    }
}

jobject fakeObject(int i) {
    return reinterpret_cast<jobject>(&objectStorage[i]);
}

// Variadic, so a plain function rather than a lambda.
jvmtiError JNICALL setEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent event, jthread, ...) {
    if (mode == JVMTI_ENABLE) {
        state.eventsEnabled.push_back(event);
    }
    return JVMTI_ERROR_NONE;
}

void installFakes() {
    jvm().vmFunctions.GetEnv = [](JavaVM*, void** penv, jint version) -> jint {
        state.versionsAsked.push_back(version);
        jint result = version == JVMTI_VERSION_1_1 ? state.jvmti11
                    : version == JVMTI_VERSION_1_0 ? state.jvmti10
                    : state.jni;
        // A refusal may still leave something behind; it must not be used.
        *penv = result == JNI_OK ? (version == JNI_VERSION_1_4 ? static_cast<void*>(jvm().jni())
                                                               : static_cast<void*>(jvm().jvmti()))
                                 : reinterpret_cast<void*>(0x1);
        return result;
    };

    jvm().installMemory();
    jvm().installMonitors();
    jvm().installExceptions();
    jvmtiInterface_1_& t = jvm().jvmtiFunctions;
    t.GetSystemProperty = [](jvmtiEnv*, const char* name, char** value) -> jvmtiError {
        const char* text = std::strcmp(name, "java.vm.name") == 0 ? "Fake VM"
                         : std::strcmp(name, "java.vm.version") == 0 ? "17.0-fake"
                         : nullptr;
        if (text == nullptr) {
            return JVMTI_ERROR_NOT_AVAILABLE;
        }
        *value = harness::FakeJvm::jvmtiCopy(text);
        jvm().calls.allocations++;
        return JVMTI_ERROR_NONE;
    };
    t.CreateRawMonitor = [](jvmtiEnv*, const char* name, jrawMonitorID* monitor) -> jvmtiError {
        if (++state.monitorsCreated == state.failMonitorCreation) {
            return state.monitorError;
        }
        *monitor = reinterpret_cast<jrawMonitorID>(&monitorStorage[(state.monitorsCreated - 1) % 2]);
        return JVMTI_ERROR_NONE;
    };
    t.DestroyRawMonitor = [](jvmtiEnv*, jrawMonitorID monitor) -> jvmtiError {
        state.monitorsDestroyed.push_back(monitor);
        return JVMTI_ERROR_NONE;
    };
    t.GetCapabilities = [](jvmtiEnv*, jvmtiCapabilities* caps) -> jvmtiError {
        std::memset(caps, 0, sizeof *caps);
        return JVMTI_ERROR_NONE;
    };
    t.GetPotentialCapabilities = [](jvmtiEnv*, jvmtiCapabilities* caps) -> jvmtiError {
        std::memset(caps, 0, sizeof *caps);
        caps->can_get_line_numbers = 1;
        caps->can_get_thread_cpu_time = state.cpuTimePotential ? 1 : 0;
        return JVMTI_ERROR_NONE;
    };
    t.AddCapabilities = [](jvmtiEnv*, const jvmtiCapabilities* caps) -> jvmtiError {
        if (caps->can_get_thread_cpu_time) {
            // Thread CPU time is asked for alone, after the others.
            EXPECT_FALSE(caps->can_get_line_numbers);
            state.cpuTimeRequests++;
            return state.addCpuTime;
        }
        state.lineNumbersAsked = caps->can_get_line_numbers != 0;
        return state.addCapabilities;
    };
    t.GetVersionNumber = [](jvmtiEnv*, jint* version) -> jvmtiError {
        *version = JVMTI_VERSION_1_2 | (17 << JVMTI_VERSION_SHIFT_MAJOR);  // a JDK 17
        return JVMTI_ERROR_NONE;
    };
    t.SetEventCallbacks = [](jvmtiEnv*, const jvmtiEventCallbacks* callbacks, jint size) -> jvmtiError {
        // A JVMTI before 21 is handed only the table it knows.
        EXPECT_EQ(static_cast<jint>(sizeof(jvmtiEventCallbacks)), size);
        std::memcpy(&state.callbacks, callbacks, sizeof state.callbacks);
        return JVMTI_ERROR_NONE;
    };
    t.SetEventNotificationMode = &setEventNotificationMode;
    t.AddToSystemClassLoaderSearch = [](jvmtiEnv*, const char* segment) -> jvmtiError {
        state.classPathAdded.push_back(segment);
        return JVMTI_ERROR_NONE;
    };

    JNINativeInterface_& n = jvm().jniFunctions;
    n.FindClass = [](JNIEnv*, const char*) -> jclass {
        jniCall();
        state.localRefsMade++;
        return static_cast<jclass>(fakeObject(0));
    };
    n.NewGlobalRef = [](JNIEnv*, jobject obj) -> jobject {
        jniCall();
        return obj;
    };
    n.GetStaticMethodID = [](JNIEnv*, jclass, const char*, const char*) -> jmethodID {
        jniCall();
        return reinterpret_cast<jmethodID>(fakeObject(1));
    };
    n.NewStringUTF = [](JNIEnv*, const char*) -> jstring {
        jniCall();
        state.localRefsMade++;
        return static_cast<jstring>(fakeObject(2));
    };
    n.CallStaticObjectMethodV = [](JNIEnv*, jclass, jmethodID, va_list) -> jobject {
        jniCall();
        if (state.throwFromGetProperty) {
            jvm().exceptionPending = true;
            return nullptr;
        }
        if (state.javaVersion == nullptr) {
            return nullptr;
        }
        state.localRefsMade++;
        return fakeObject(3);
    };
    n.GetStringUTFChars = [](JNIEnv*, jstring, jboolean*) -> const char* {
        jniCall();
        return state.javaVersion;
    };
    n.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { jniCall(); };
    n.DeleteLocalRef = [](JNIEnv*, jobject) {
        jniCall();
        state.localRefsDeleted++;
    };
}

class AttachSequenceTest : public testing::Test {
protected:
    void SetUp() override {
        resetFakes();
        installFakes();
        g_profilingInterface = nullptr;
        Profiling::_threadMonitor = nullptr;
        Profiling::_sleepMonitor = nullptr;
        Profiling::systemClass = nullptr;
        Profiling::getPropertyMethod = nullptr;
    }

    void TearDown() override {
        delete[] Profiling::loadOptions;
        Profiling::loadOptions = nullptr;
    }

    void resetFakes() {
        state = FakeState();
        fake.reset();
    }

    ConsoleLines load(const char* options) {
        std::string copy = options;
        StderrCapture console;
        session.init(fake.vm(), &copy[0], true);
        return console.lines();
    }

    ConsoleLines attach(const char* options) {
        std::string copy = options != nullptr ? options : "";
        StderrCapture console;
        session.init(fake.vm(), options != nullptr ? &copy[0] : nullptr);
        return console.lines();
    }

    GlobalsScope globals;
    harness::FakeJvm fake;
    ProfilingSession session;
};

TEST_F(AttachSequenceTest, FullAttachReadsPropertiesAndInstallsOnlyWhatItNeeds) {
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Record agent threads", "tolvane> Native library initialized"}),
              attach("agent-threads"));
    EXPECT_TRUE(session.isAttached());
    EXPECT_EQ(fake.jvmti(), g_profilingInterface);
    EXPECT_EQ(fake.vm(), Profiling::javaVm);
    ASSERT_NE(nullptr, session.vmName);
    EXPECT_STREQ("Fake VM", session.vmName);
    ASSERT_NE(nullptr, session.javaVersion);
    EXPECT_STREQ("17.0.99", session.javaVersion) << "the Java version replaces the VM version";
    EXPECT_EQ(1000, session.maxStackDepth);
    EXPECT_EQ(fake.calls.allocations, fake.calls.deallocations);

    EXPECT_NE(nullptr, Profiling::_threadMonitor);
    EXPECT_NE(nullptr, Profiling::_sleepMonitor);
    EXPECT_NE(Profiling::_threadMonitor, Profiling::_sleepMonitor);
    EXPECT_GE(fake.calls.monitorEnters, 1);
    EXPECT_EQ(fake.calls.monitorEnters, fake.calls.monitorExits);

    EXPECT_TRUE(state.lineNumbersAsked);
    EXPECT_EQ(1, state.cpuTimeRequests);
    EXPECT_TRUE(g_threadCpuTimeAvailable);
    EXPECT_FALSE(g_batchedCapture);
    EXPECT_EQ(&Profiling::dxVMDeath, state.callbacks.VMDeath);
    EXPECT_NE(nullptr, state.callbacks.ThreadStart);
    EXPECT_EQ(nullptr, state.callbacks.ClassLoad);
    EXPECT_EQ(std::vector<jvmtiEvent>{JVMTI_EVENT_VM_DEATH}, state.eventsEnabled);

    EXPECT_EQ(0, state.jniCallsWithPendingException);
    EXPECT_EQ(state.localRefsMade, state.localRefsDeleted);
}

TEST_F(AttachSequenceTest, RefusedVersionOneOneFallsBackToOneZero) {
    state.jvmti11 = JNI_EVERSION;
    state.jni = JNI_EDETACHED;
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Could not get JNIEnv", "tolvane> Save thread start mode",
                            "tolvane> Native library initialized"}),
              attach("save-thread-start"));
    EXPECT_EQ((std::vector<jint>{JVMTI_VERSION_1_1, JVMTI_VERSION_1_0, JNI_VERSION_1_4}), state.versionsAsked);
    EXPECT_TRUE(session.isAttached());
    EXPECT_EQ(fake.jvmti(), g_profilingInterface);
    ASSERT_NE(nullptr, session.javaVersion);
    EXPECT_STREQ("17.0-fake", session.javaVersion) << "without JNI the VM version stays";
    EXPECT_EQ((std::vector<jvmtiEvent>{JVMTI_EVENT_VM_DEATH, JVMTI_EVENT_THREAD_START}), state.eventsEnabled);
}

TEST_F(AttachSequenceTest, NoUsableJvmtiStopsAfterTheNotPresentMessage) {
    const ConsoleLines notPresent{"tolvane> Protocol version 1",
                                  "tolvane> The Java Virtual Machine Tool Interface (JVMTI) is not present. Exiting."};
    // Both versions refused.
    state.jvmti11 = JNI_EVERSION;
    state.jvmti10 = JNI_EVERSION;
    EXPECT_EQ(notPresent, attach("agent-threads"));
    EXPECT_EQ(nullptr, g_profilingInterface);
    EXPECT_FALSE(session.isAttached());
    EXPECT_EQ(0, state.monitorsCreated);
    EXPECT_TRUE(state.eventsEnabled.empty());

    // Any other failure counts the same, and the environment it left is ignored.
    ProfilingSession other;
    resetFakes();
    state.jvmti11 = JNI_ERR;
    StderrCapture console;
    other.init(fake.vm(), nullptr);
    EXPECT_EQ(notPresent, console.lines());
    EXPECT_EQ(std::vector<jint>{JVMTI_VERSION_1_1}, state.versionsAsked);
    EXPECT_EQ(nullptr, g_profilingInterface);
    EXPECT_FALSE(other.isAttached());
    EXPECT_EQ(nullptr, other.vmName);
}

TEST_F(AttachSequenceTest, MonitorsThatCannotBeCreatedEndTheAttach) {
    // Without its monitors the agent would run its shared data unlocked.
    state.failMonitorCreation = 2;
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1",
                            "tolvane> Could not create the agent's raw monitors: JVMTI_ERROR_OUT_OF_MEMORY (110). "
                            "Exiting."}),
              attach("save-thread-start"));
    EXPECT_FALSE(session.isAttached());
    EXPECT_EQ(nullptr, Profiling::_threadMonitor);
    EXPECT_EQ(nullptr, Profiling::_sleepMonitor);
    EXPECT_EQ(std::vector<jrawMonitorID>{reinterpret_cast<jrawMonitorID>(&monitorStorage[0])},
              state.monitorsDestroyed)
        << "the thread monitor made before the failure is given back";
    EXPECT_TRUE(state.eventsEnabled.empty());
    EXPECT_EQ(nullptr, session.cpuProfilingSession);
    EXPECT_EQ(nullptr, session.sampler);
    EXPECT_EQ(0, fake.calls.monitorEnters);

    // The first monitor failing, with a code the library has no name for.
    ProfilingSession other;
    resetFakes();
    state.failMonitorCreation = 1;
    state.monitorError = static_cast<jvmtiError>(17);  // a gap in the numbering
    StderrCapture console;
    other.init(fake.vm(), nullptr);
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1",
                            "tolvane> Could not create the agent's raw monitors: unknown JVMTI error (17). Exiting."}),
              console.lines());
    EXPECT_FALSE(other.isAttached());
    EXPECT_TRUE(state.monitorsDestroyed.empty());
    EXPECT_EQ(1, state.monitorsCreated);
}

TEST_F(AttachSequenceTest, RefusedCapabilitiesPrintTheBannerAndAttachGoesOn) {
    state.addCapabilities = JVMTI_ERROR_NOT_AVAILABLE;
    const std::string stars = "tolvane> " + std::string(67, '*');
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library", stars,
                            "tolvane> ERROR: Could not get all profiling capabilities. (code: 98)",
                            "tolvane> Some profiling functionality won't work correctly.", stars,
                            "tolvane> Native library initialized"}),
              attach(nullptr));
    EXPECT_TRUE(session.isAttached());
    EXPECT_EQ(std::vector<jvmtiEvent>{JVMTI_EVENT_VM_DEATH}, state.eventsEnabled);
}

TEST_F(AttachSequenceTest, ThreadCpuTimeRefusedOrMissingLeavesTheConsoleAsItWas) {
    const ConsoleLines plain{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                             "tolvane> Native library initialized"};
    state.addCpuTime = JVMTI_ERROR_NOT_AVAILABLE;
    g_threadCpuTimeAvailable = true;
    EXPECT_EQ(plain, attach(nullptr));
    EXPECT_EQ(1, state.cpuTimeRequests);
    EXPECT_FALSE(g_threadCpuTimeAvailable);
    EXPECT_TRUE(state.lineNumbersAsked);

    // A JVM that cannot offer it is not asked.
    ProfilingSession other;
    resetFakes();
    state.cpuTimePotential = false;
    g_threadCpuTimeAvailable = true;
    StderrCapture console;
    other.init(fake.vm(), const_cast<char*>("batched-capture"));
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Batched stack capture", "tolvane> Native library initialized"}),
              console.lines());
    EXPECT_EQ(0, state.cpuTimeRequests);
    EXPECT_FALSE(g_threadCpuTimeAvailable);
    EXPECT_TRUE(g_batchedCapture);
}

TEST_F(AttachSequenceTest, SecondAttachChangesNothing) {
    attach("agent-classes");
    std::vector<jint> versionsAfterFirst = state.versionsAsked;
    jvmtiEnv* environment = g_profilingInterface;
    jrawMonitorID threadMonitor = Profiling::_threadMonitor;
    const char* javaVersion = session.javaVersion;

    EXPECT_EQ(ConsoleLines{"tolvane> Native library already initialized"},
              attach("agent-threads,save-thread-start"));
    EXPECT_EQ(versionsAfterFirst, state.versionsAsked);
    EXPECT_EQ(environment, g_profilingInterface);
    EXPECT_EQ(threadMonitor, Profiling::_threadMonitor);
    EXPECT_EQ(javaVersion, session.javaVersion);
    EXPECT_TRUE(g_sampleAgentClasses);
    EXPECT_FALSE(g_sampleAgentThreads);
    EXPECT_FALSE(g_safeThreadStart);
    EXPECT_EQ(std::vector<jvmtiEvent>{JVMTI_EVENT_VM_DEATH}, state.eventsEnabled);
}

TEST_F(AttachSequenceTest, ExceptionFromGetPropertyIsClearedAndCountsAsUnset) {
    state.throwFromGetProperty = true;
    attach(nullptr);
    EXPECT_TRUE(session.isAttached());
    EXPECT_EQ(nullptr, session.javaVersion);
    EXPECT_EQ(1, fake.calls.exceptionsDescribed);
    EXPECT_FALSE(fake.exceptionPending);
    EXPECT_EQ(0, state.jniCallsWithPendingException);
    EXPECT_EQ(state.localRefsMade, state.localRefsDeleted);
}

TEST_F(AttachSequenceTest, LoadTimeInitWaitsForVmInitAndPutsTheJarOnTheClassPath) {
    char jar[] = "/tmp/tolvane-loadtest-XXXXXX";
    int fd = mkstemp(jar);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string options = std::string("record=30s,file=/tmp/agent-threads.tsnap,jar=") + jar + ",agent-classes";
    // The file name names a flag but sets none; there is no JNI yet, so no complaint about it.
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Record agent classes", "tolvane> Native library initialized"}),
              load(options.c_str()));
    unlink(jar);
    EXPECT_TRUE(session.isAttached());
    EXPECT_FALSE(g_sampleAgentThreads);
    EXPECT_TRUE(g_sampleAgentClasses);
    EXPECT_EQ((std::vector<jint>{JVMTI_VERSION_1_1}), state.versionsAsked) << "JNI asked for at load";
    ASSERT_NE(nullptr, session.javaVersion);
    EXPECT_STREQ("17.0-fake", session.javaVersion) << "the Java version waits for VM init";
    EXPECT_EQ(std::vector<std::string>{jar}, state.classPathAdded);
    EXPECT_TRUE(Profiling::agentJarAdded);
    EXPECT_STREQ(options.c_str(), Profiling::loadOptions);
    EXPECT_EQ(&Profiling::dxVMInit, state.callbacks.VMInit);
    EXPECT_EQ(&Profiling::dxVMDeath, state.callbacks.VMDeath);
    EXPECT_EQ((std::vector<jvmtiEvent>{JVMTI_EVENT_VM_DEATH, JVMTI_EVENT_VM_INIT}), state.eventsEnabled);
    EXPECT_TRUE(state.lineNumbersAsked);
}

TEST_F(AttachSequenceTest, LoadTimeInitWithoutTheJarSaysSoOnlyWhenARecordingIsAsked) {
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> No recording from start: agent jar /nonexistent/a.jar not found; give its path"
                            " as jar=PATH",
                            "tolvane> Native library initialized"}),
              load("loop=1m,jar=/nonexistent/a.jar"));
    EXPECT_TRUE(state.classPathAdded.empty());
    EXPECT_FALSE(Profiling::agentJarAdded);

    ProfilingSession other;
    resetFakes();
    StderrCapture console;
    std::string quiet = "jar=/nonexistent/a.jar";
    other.init(fake.vm(), &quiet[0], true);
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Native library initialized"}),
              console.lines());
    EXPECT_TRUE(other.isAttached());
}

TEST_F(AttachSequenceTest, RecordIsRefusedWhileAnotherRunIsInProgress) {
    attach(nullptr);
    ASSERT_TRUE(session.isAttached());
    g_profilingSession = &session;
    g_recordingInProgress.store(true);
    int enters = fake.calls.monitorEnters;

    // Any JNI call would jump through a null entry of this table.
    JNINativeInterface_ noFunctions{};
    JNIEnv_ untouched;
    untouched.functions = &noFunctions;
    Java_com_tolvane_agent_callee_JvmtiCallee_record(&untouched, nullptr, 10000, JNI_FALSE, JNI_FALSE, nullptr);
    EXPECT_EQ(enters, fake.calls.monitorEnters) << "the refused call took the thread monitor";
    EXPECT_TRUE(g_recordingInProgress.load()) << "the run in progress lost its mark";

    g_recordingInProgress.store(false);
}

}  // namespace
