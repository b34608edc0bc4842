#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "ConsoleCapture.h"
#include "LegacyFakeJvm.h"
#include "ProfilingSession.h"

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
    int allocations = 0;
    int deallocations = 0;
    int monitorsCreated = 0;
    int failMonitorCreation = 0;  // the n-th CreateRawMonitor fails (from 1)
    jvmtiError monitorError = JVMTI_ERROR_OUT_OF_MEMORY;
    std::vector<jrawMonitorID> monitorsDestroyed;
    int enters = 0;
    int exits = 0;
    // JNI
    const char* javaVersion = "17.0.99";
    bool throwFromGetProperty = false;
    bool pending = false;
    int jniCallsWithPendingException = 0;
    int localRefsMade = 0;
    int localRefsDeleted = 0;
    int exceptionsDescribed = 0;
    std::vector<std::string> classPathAdded;
};

FakeState state;
FakeJvmti fakeJvmti;
FakeJni fakeJni;
char monitorStorage[2];
char objectStorage[4];

FakeJavaVm fakeVm;

void jniCall() {
    if (state.pending) {
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
    fakeVm.functions.GetEnv = [](JavaVM*, void** penv, jint version) -> jint {
        state.versionsAsked.push_back(version);
        jint result = version == JVMTI_VERSION_1_1 ? state.jvmti11
                    : version == JVMTI_VERSION_1_0 ? state.jvmti10
                    : state.jni;
        // A refusal may still leave something behind; it must not be used.
        *penv = result == JNI_OK ? (version == JNI_VERSION_1_4 ? static_cast<void*>(fakeJni.get())
                                                               : static_cast<void*>(fakeJvmti.get()))
                                 : reinterpret_cast<void*>(0x1);
        return result;
    };

    jvmtiInterface_1_& t = fakeJvmti.functions;
    t.GetSystemProperty = [](jvmtiEnv*, const char* name, char** value) -> jvmtiError {
        const char* text = std::strcmp(name, "java.vm.name") == 0 ? "Fake VM"
                         : std::strcmp(name, "java.vm.version") == 0 ? "17.0-fake"
                         : nullptr;
        if (text == nullptr) {
            return JVMTI_ERROR_NOT_AVAILABLE;
        }
        *value = static_cast<char*>(std::malloc(std::strlen(text) + 1));
        std::strcpy(*value, text);
        state.allocations++;
        return JVMTI_ERROR_NONE;
    };
    t.Deallocate = [](jvmtiEnv*, unsigned char* mem) -> jvmtiError {
        std::free(mem);
        state.deallocations++;
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
    t.RawMonitorEnter = [](jvmtiEnv*, jrawMonitorID) -> jvmtiError {
        state.enters++;
        return JVMTI_ERROR_NONE;
    };
    t.RawMonitorExit = [](jvmtiEnv*, jrawMonitorID) -> jvmtiError {
        state.exits++;
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
    t.SetEventCallbacks = [](jvmtiEnv*, const jvmtiEventCallbacks* callbacks, jint size) -> jvmtiError {
        std::memcpy(&state.callbacks, callbacks, sizeof state.callbacks);
        return JVMTI_ERROR_NONE;
    };
    t.SetEventNotificationMode = &setEventNotificationMode;
    t.AddToSystemClassLoaderSearch = [](jvmtiEnv*, const char* segment) -> jvmtiError {
        state.classPathAdded.push_back(segment);
        return JVMTI_ERROR_NONE;
    };

    JNINativeInterface_& n = fakeJni.functions;
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
            state.pending = true;
            return nullptr;
        }
        if (state.javaVersion == nullptr) {
            return nullptr;
        }
        state.localRefsMade++;
        return fakeObject(3);
    };
    n.ExceptionCheck = [](JNIEnv*) -> jboolean { return state.pending; };
    n.ExceptionDescribe = [](JNIEnv*) { state.exceptionsDescribed++; };
    n.ExceptionClear = [](JNIEnv*) { state.pending = false; };
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
        state = FakeState();
        installFakes();
        savedInterface = g_profilingInterface;
        savedVm = Profiling::javaVm;
        savedThreadMonitor = Profiling::_threadMonitor;
        savedSleepMonitor = Profiling::_sleepMonitor;
        savedSystemClass = Profiling::systemClass;
        savedGetProperty = Profiling::getPropertyMethod;
        savedFlags[0] = g_safeThreadStart;
        savedFlags[1] = g_sampleAgentThreads;
        savedFlags[2] = g_sampleAgentClasses;
        savedFlags[3] = g_batchedCapture;
        savedFlags[4] = g_threadCpuTimeAvailable;
        g_profilingInterface = nullptr;
        Profiling::_threadMonitor = nullptr;
        Profiling::_sleepMonitor = nullptr;
        Profiling::systemClass = nullptr;
        Profiling::getPropertyMethod = nullptr;
    }

    void TearDown() override {
        g_profilingInterface = savedInterface;
        Profiling::javaVm = savedVm;
        Profiling::_threadMonitor = savedThreadMonitor;
        Profiling::_sleepMonitor = savedSleepMonitor;
        Profiling::systemClass = savedSystemClass;
        Profiling::getPropertyMethod = savedGetProperty;
        g_safeThreadStart = savedFlags[0];
        g_sampleAgentThreads = savedFlags[1];
        g_sampleAgentClasses = savedFlags[2];
        g_batchedCapture = savedFlags[3];
        g_threadCpuTimeAvailable = savedFlags[4];
        delete[] Profiling::loadOptions;
        Profiling::loadOptions = nullptr;
        Profiling::agentJarAdded = false;
    }

    ConsoleLines load(const char* options) {
        std::string copy = options;
        ConsoleCapture console;
        session.init(fakeVm.get(), &copy[0], true);
        return console.lines();
    }

    ConsoleLines attach(const char* options) {
        std::string copy = options != nullptr ? options : "";
        ConsoleCapture console;
        session.init(fakeVm.get(), options != nullptr ? &copy[0] : nullptr);
        return console.lines();
    }

    ProfilingSession session;
    jvmtiEnv* savedInterface;
    JavaVM* savedVm;
    jrawMonitorID savedThreadMonitor;
    jrawMonitorID savedSleepMonitor;
    jclass savedSystemClass;
    jmethodID savedGetProperty;
    bool savedFlags[5];
};

TEST_F(AttachSequenceTest, FullAttachReadsPropertiesAndInstallsOnlyWhatItNeeds) {
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Record agent threads", "tolvane> Native library initialized"}),
              attach("agent-threads"));
    EXPECT_TRUE(session.isAttached());
    EXPECT_EQ(fakeJvmti.get(), g_profilingInterface);
    EXPECT_EQ(fakeVm.get(), Profiling::javaVm);
    ASSERT_NE(nullptr, session.vmName);
    EXPECT_STREQ("Fake VM", session.vmName);
    ASSERT_NE(nullptr, session.javaVersion);
    EXPECT_STREQ("17.0.99", session.javaVersion) << "the Java version replaces the VM version";
    EXPECT_EQ(1000, session.maxStackDepth);
    EXPECT_EQ(state.allocations, state.deallocations);

    EXPECT_NE(nullptr, Profiling::_threadMonitor);
    EXPECT_NE(nullptr, Profiling::_sleepMonitor);
    EXPECT_NE(Profiling::_threadMonitor, Profiling::_sleepMonitor);
    EXPECT_GE(state.enters, 1);
    EXPECT_EQ(state.enters, state.exits);

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
    EXPECT_EQ(fakeJvmti.get(), g_profilingInterface);
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
    state = FakeState();
    state.jvmti11 = JNI_ERR;
    ConsoleCapture console;
    other.init(fakeVm.get(), nullptr);
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
    EXPECT_EQ(0, state.enters);

    // The first monitor failing, with a code the library has no name for.
    ProfilingSession other;
    state = FakeState();
    state.failMonitorCreation = 1;
    state.monitorError = static_cast<jvmtiError>(17);  // a gap in the numbering
    ConsoleCapture console;
    other.init(fakeVm.get(), nullptr);
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
    state = FakeState();
    state.cpuTimePotential = false;
    g_threadCpuTimeAvailable = true;
    ConsoleCapture console;
    other.init(fakeVm.get(), const_cast<char*>("batched-capture"));
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
    EXPECT_EQ(1, state.exceptionsDescribed);
    EXPECT_FALSE(state.pending);
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
    state = FakeState();
    ConsoleCapture console;
    std::string quiet = "jar=/nonexistent/a.jar";
    other.init(fakeVm.get(), &quiet[0], true);
    EXPECT_EQ((ConsoleLines{"tolvane> Protocol version 1", "tolvane> 64-bit library",
                            "tolvane> Native library initialized"}),
              console.lines());
    EXPECT_TRUE(other.isAttached());
}

TEST_F(AttachSequenceTest, RecordIsRefusedWhileAnotherRunIsInProgress) {
    attach(nullptr);
    ASSERT_TRUE(session.isAttached());
    ProfilingSession* savedSession = g_profilingSession;
    g_profilingSession = &session;
    g_recordingInProgress.store(true);
    int enters = state.enters;

    // Any JNI call would jump through a null entry of this table.
    FakeJni untouched;
    Java_com_tolvane_agent_callee_JvmtiCallee_record(untouched.get(), nullptr, 10000, JNI_FALSE, JNI_FALSE, nullptr);
    EXPECT_EQ(enters, state.enters) << "the refused call took the thread monitor";
    EXPECT_TRUE(g_recordingInProgress.load()) << "the run in progress lost its mark";

    g_recordingInProgress.store(false);
    g_profilingSession = savedSession;
}

}  // namespace
