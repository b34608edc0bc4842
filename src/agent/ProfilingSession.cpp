#include "ProfilingSession.h"

#include "AsyncSampling.h"
#include "ClassProfilingSession.h"
#include "CommandChannel.h"
#include "Sampler.h"
#include "CpuProfilingSession.h"
#include "FatalAssert.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "JvmtiError.h"
#include "LockProbe.h"
#include "LockTable.h"
#include "MessageUtil.h"
#include "SnapshotWriter.h"
#include "StartupOptions.h"
#include "StringCopy.h"
#include "ThreadManager.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>

bool g_safeThreadStart = false;
bool g_recordLocks = false;
int g_singleCaptureLimit = -1;
jlong g_recordStartTime = 0;

// Bound to their state at compile time: no construction order to mind.
JavaVM*& Profiling::javaVm = g_javaVm;
jrawMonitorID& Profiling::_threadMonitor = ThreadMonitor::threadMonitor;
jrawMonitorID& Profiling::_sleepMonitor = ThreadMonitor::sleepMonitor;
jclass Profiling::systemClass = nullptr;
jmethodID Profiling::getPropertyMethod = nullptr;
char* Profiling::loadOptions = nullptr;
bool Profiling::agentJarAdded = false;

namespace {

// How long VM death waits for a recording in progress to close its snapshot.
const int RECORDING_END_WAIT_MILLIS = 5000;
const int RECORDING_END_POLL_MILLIS = 10;

// "max-tree-nodes=N": most call-tree nodes of one recording.
const char NODE_LIMIT_OPTION[] = "max-tree-nodes=";
const long long MAX_NODE_LIMIT = 1000000000LL;

// The number given as "NAME=N" in the option string: digits only, up to the
// next separator, at most `max`; -1 when absent or malformed.
long long numberOption(const char* options, const char* name, long long max) {
    const char* value = options != nullptr ? std::strstr(options, name) : nullptr;
    if (value == nullptr) {
        return -1;
    }
    value += std::strlen(name);
    char* end = nullptr;
    long long number = std::strtoll(value, &end, 10);
    bool wellFormed = end != value && *value >= '0' && *value <= '9' && number <= max &&
                      (*end == '\0' || *end == ',' || *end == ' ');
    return wellFormed ? number : -1;
}

// Whether `item` is one of the comma-separated items of the option string.
// Matched whole, unlike the older flags: no option value can switch it on.
bool hasItem(const char* options, const char* item) {
    size_t length = std::strlen(item);
    for (const char* at = options != nullptr ? std::strstr(options, item) : nullptr; at != nullptr;
         at = std::strstr(at + 1, item)) {
        bool starts = at == options || at[-1] == ',';
        bool ends = at[length] == '\0' || at[length] == ',';
        if (starts && ends) {
            return true;
        }
    }
    return false;
}

const char SINGLE_CAPTURE_LIMIT_OPTION[] = "single-capture-limit=";
const long MAX_SINGLE_CAPTURE_LIMIT = 1000000;

// The recorder's entry for a JVM that loaded the library at start-up.
const char RECORDER_AGENT_CLASS[] = "com.tolvane.agent.recorder.RecorderAgent";
const char AGENT_JAR_NAME[] = "tolvane-agent.jar";

const char ASTERISKS[] = "*******************************************************************";

// Creates the thread monitor and the sleep monitor, or neither: the agent
// must not run with one of them missing (its shared data would go
// unlocked). On failure the console says why.
bool createMonitors(jvmtiEnv* jvmti) {
    jrawMonitorID threadMonitor = nullptr;
    jrawMonitorID sleepMonitor = nullptr;
    jvmtiError error = jvmti->CreateRawMonitor("_tolvane_native", &threadMonitor);
    if (error == JVMTI_ERROR_NONE && threadMonitor != nullptr) {
        error = jvmti->CreateRawMonitor("_tolvane_native_sleep", &sleepMonitor);
        if (error == JVMTI_ERROR_NONE && sleepMonitor != nullptr) {
            Profiling::_threadMonitor = threadMonitor;
            Profiling::_sleepMonitor = sleepMonitor;
            return true;
        }
        jvmti->DestroyRawMonitor(threadMonitor);
    }
    if (error == JVMTI_ERROR_NONE) {
        error = JVMTI_ERROR_INTERNAL;  // created, but no monitor handed back
    }
    MessageUtil::message("Could not create the agent's raw monitors: %s. Exiting.", JvmtiErrorText(error).get());
    return false;
}

// A new copy of a JVMTI system property, or null when it cannot be read.
char* jvmtiProperty(jvmtiEnv* jvmti, const char* name) {
    JvmtiBuffer<char> value(jvmti);
    if (jvmti->GetSystemProperty(name, value.out()) != JVMTI_ERROR_NONE || value.get() == nullptr) {
        return nullptr;
    }
    return copyString(value.get());
}

}  // namespace

bool ProfilingSession::write(const char* path, JNIEnv* env) {
    SnapshotContents contents;
    contents.vmName = vmName;
    contents.javaVersion = javaVersion;
    contents.recordStartTime = g_recordStartTime;
    contents.classes = classProfilingSession;
    contents.threads = cpuProfilingSession;
    contents.cpuTimes = g_recordCpuTime && g_threadCpuTimeAvailable;
    contents.locks = lockTable;
    return SnapshotWriter::write(path, env, contents);
}

bool isAgentAttached() {
    return g_profilingSession != nullptr && g_profilingSession->isAttached();
}

ProfilingSession::ProfilingSession() = default;

ProfilingSession::~ProfilingSession() {
    delete cpuProfilingSession;
    delete sampler;
    delete lockTable;
    delete classProfilingSession;
    delete[] vmName;
    delete[] javaVersion;
}

void ProfilingSession::init(JavaVM* vm, char* options, bool atLoad) {
    // A later attach in the same process must not disturb the state, the
    // environment or the monitors that running natives rely on.
    if (initStarted.exchange(true)) {
        MessageUtil::message("Native library already initialized");
        return;
    }
    MessageUtil::message("Protocol version %d", 1);
    if (vm == nullptr || !Profiling::initializeInterface(vm)) {
        MessageUtil::message("The Java Virtual Machine Tool Interface (JVMTI) is not present. Exiting.");
        return;
    }
    Profiling::javaVm = vm;
    jvmtiEnv* jvmti = g_profilingInterface;

    char* name = jvmtiProperty(jvmti, "java.vm.name");
    if (name != nullptr) {
        delete[] vmName;
        vmName = name;
    }
    char* version = jvmtiProperty(jvmti, "java.vm.version");
    if (version != nullptr) {
        delete[] javaVersion;
        javaVersion = version;
    }

    if (!createMonitors(jvmti)) {
        return;
    }
    MessageUtil::message("64-bit library");

    ThreadMonitorLock lock;

    classProfilingSession = new ClassProfilingSession(nullptr);
    sampler = nullptr;
    cpuProfilingSession = new CpuProfilingSession();

    JNIEnv* env = nullptr;
    void* jni = nullptr;
    if (atLoad) {
        // No JNI before the VM is initialised; dxVMInit reads the Java version.
    } else if (vm->GetEnv(&jni, JNI_VERSION_1_4) == JNI_OK && jni != nullptr) {
        env = static_cast<JNIEnv*>(jni);
        // The Java version replaces the VM version even when it is unset.
        char* javaVersionProperty = Profiling::getProperty(env, "java.version");
        delete[] javaVersion;
        javaVersion = javaVersionProperty;
    } else {
        MessageUtil::message("Could not get JNIEnv");
    }

    sampler = new Sampler(5, cpuProfilingSession, classProfilingSession, maxStackDepth);

    if (atLoad) {
        Profiling::parseOptions(StartupOptions::libraryFlags(options).c_str());
        // Loaded from the command line, the library books CPU time as it does
        // for the tolvane command, for recordings from start and later ones;
        // being the default there, it is not announced.
        g_recordCpuTime = true;
        delete[] Profiling::loadOptions;
        Profiling::loadOptions = copyString(options != nullptr ? options : "");
        Profiling::agentJarAdded = Profiling::addAgentJar(jvmti, options);
    } else {
        Profiling::parseOptions(options);
    }
    if (g_singleCaptureLimit >= 0) {
        sampler->singleCaptureLimit = g_singleCaptureLimit;
    }
    if (g_recordLocks) {
        lockTable = new LockTable();
        sampler->lockTable = lockTable;
    }
    Profiling::enableEvents(env);
    MessageUtil::message("Native library initialized");
    attached.store(true, std::memory_order_release);
}

bool Profiling::initializeInterface(JavaVM* vm) {
    void* jvmti = nullptr;
    jint result = vm->GetEnv(&jvmti, JVMTI_VERSION_1_1);
    if (result == JNI_EVERSION) {
        jvmti = nullptr;
        result = vm->GetEnv(&jvmti, JVMTI_VERSION_1_0);
    }
    // Any failure, not only a refused version, leaves the library without an
    // environment: nothing may ever run on a null one.
    if (result != JNI_OK || jvmti == nullptr) {
        g_profilingInterface = nullptr;
        return false;
    }
    g_profilingInterface = static_cast<jvmtiEnv*>(jvmti);
    return true;
}

void Profiling::parseOptions(const char* options) {
    // Plain substring tests, in a fixed order: the messages follow this
    // order whatever the order in the string.
    g_safeThreadStart = options != nullptr && std::strstr(options, "save-thread-start") != nullptr;
    if (g_safeThreadStart) {
        MessageUtil::message("Save thread start mode");
    }
    g_sampleAgentThreads = options != nullptr && std::strstr(options, "agent-threads") != nullptr;
    if (g_sampleAgentThreads) {
        MessageUtil::message("Record agent threads");
    }
    g_sampleAgentClasses = options != nullptr && std::strstr(options, "agent-classes") != nullptr;
    if (g_sampleAgentClasses) {
        MessageUtil::message("Record agent classes");
    }
    g_batchedCapture = options != nullptr && std::strstr(options, "batched-capture") != nullptr;
    if (g_batchedCapture) {
        MessageUtil::message("Batched stack capture");
    }
    g_asyncSampling = options == nullptr || std::strstr(options, "no-async-sampling") == nullptr;
    if (!g_asyncSampling) {
        MessageUtil::message("No asynchronous sampling");
    }
    g_recordCpuTime = options != nullptr && std::strstr(options, "cpu-time") != nullptr;
    if (g_recordCpuTime) {
        MessageUtil::message("Record CPU time");
    }
    // Not announced: tolvane record and run ask for it by default.
    g_recordLocks = hasItem(options, "locks");
    long long nodeLimit = numberOption(options, NODE_LIMIT_OPTION, MAX_NODE_LIMIT);
    ThreadManager::nodeLimit = nodeLimit >= 0 ? nodeLimit : ThreadManager::DEFAULT_NODE_LIMIT;
    if (nodeLimit >= 0) {
        MessageUtil::message("Call tree node limit %lld", nodeLimit);
    }
    g_singleCaptureLimit = static_cast<int>(numberOption(options, SINGLE_CAPTURE_LIMIT_OPTION, MAX_SINGLE_CAPTURE_LIMIT));
    if (g_singleCaptureLimit >= 0) {
        MessageUtil::message("Single capture limit %d", g_singleCaptureLimit);
    }
}

bool Profiling::enableEvents(JNIEnv* env) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr) {
        return true;
    }
    jvmtiCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    jvmti->GetCapabilities(&capabilities);
    capabilities.can_get_line_numbers = 1;
    jvmtiError error = jvmti->AddCapabilities(&capabilities);
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::message("%s", ASTERISKS);
        MessageUtil::message("ERROR: Could not get all profiling capabilities. (code: %d)", static_cast<int>(error));
        // The banner keeps its long-standing form; the log names the error.
        MessageUtil::debugOut(0, 4, "AddCapabilities: %s\n", JvmtiErrorText(error).get());
        MessageUtil::message("Some profiling functionality won't work correctly.");
        MessageUtil::message("%s", ASTERISKS);
    }
    requestThreadCpuTime(jvmti);
    if (g_recordLocks) {
        LockProbe::requestCapabilities(jvmti);
    }

    installCallbacks(jvmti, false);
    jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_DEATH, nullptr);
    if (loadOptions != nullptr) {
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT, nullptr);
    }
    if (g_safeThreadStart) {
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_THREAD_START, nullptr);
    }
    return true;
}

void Profiling::installCallbacks(jvmtiEnv* jvmti, bool asyncSampling) {
    jvmtiEventCallbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.VMDeath = &Profiling::dxVMDeath;
    callbacks.ThreadStart = &LiveCpuProfilingHelper::dxThreadStart;
    callbacks.ThreadEnd = &LiveCpuProfilingHelper::dxThreadEnd;
    if (loadOptions != nullptr) {
        callbacks.VMInit = &Profiling::dxVMInit;
    }
    if (asyncSampling) {
        callbacks.ClassLoad = &AsyncSampling::onClassLoad;
        callbacks.ClassPrepare = &AsyncSampling::onClassPrepare;
        callbacks.CompiledMethodLoad = &AsyncSampling::onCompiledMethodLoad;
    }
    jvmti->SetEventCallbacks(&callbacks, static_cast<jint>(sizeof callbacks));
}

bool Profiling::enableAsyncEvents(JNIEnv* env) {
    static bool enabled = false;
    jvmtiEnv* jvmti = g_profilingInterface;
    if (enabled || jvmti == nullptr) {
        return enabled;
    }
    installCallbacks(jvmti, true);
    // The walk refuses to run unless some agent receives class-load events.
    if (jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_LOAD, nullptr) != JVMTI_ERROR_NONE ||
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_PREPARE, nullptr) != JVMTI_ERROR_NONE) {
        MessageUtil::debugOut(0, 4, "async sampling: class events refused\n");
        installCallbacks(jvmti, false);
        return false;
    }
    // While some agent receives compiled-method-load events, HotSpot's
    // compilers record the inlined method of every instruction, not only at
    // safepoint polls, and the walk can name inlined methods. Code compiled
    // before keeps its coarser information. Asked for on its own: a refusal
    // only costs that.
    jvmtiCapabilities compiled;
    std::memset(&compiled, 0, sizeof compiled);
    compiled.can_generate_compiled_method_load_events = 1;
    if (jvmti->AddCapabilities(&compiled) != JVMTI_ERROR_NONE ||
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_COMPILED_METHOD_LOAD, nullptr) != JVMTI_ERROR_NONE) {
        MessageUtil::debugOut(0, 4, "async sampling: no compiled-method events: inlined methods stay with their callers\n");
    }
    // Method ids for the classes loaded so far; ClassPrepare gives later ones theirs.
    AsyncSampling::createMethodIds(jvmti, env);
    enabled = true;
    return true;
}

void Profiling::requestThreadCpuTime(jvmtiEnv* jvmti) {
    // Asked for on its own, after the capabilities above, so that a refusal
    // leaves those and the console exactly as they were.
    jvmtiCapabilities potential;
    std::memset(&potential, 0, sizeof potential);
    if (jvmti->GetPotentialCapabilities(&potential) != JVMTI_ERROR_NONE || !potential.can_get_thread_cpu_time) {
        g_threadCpuTimeAvailable = false;
        if (g_recordCpuTime) {
            MessageUtil::message("This JVM does not give thread CPU times: snapshots will have none");
        }
        return;
    }
    jvmtiCapabilities wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.can_get_thread_cpu_time = 1;
    g_threadCpuTimeAvailable = jvmti->AddCapabilities(&wanted) == JVMTI_ERROR_NONE;
    if (g_recordCpuTime && !g_threadCpuTimeAvailable) {
        MessageUtil::message("This JVM does not give thread CPU times: snapshots will have none");
    }
}

char* Profiling::getProperty(JNIEnv* env, const char* propertyName) {
    if (env == nullptr || propertyName == nullptr) {
        return nullptr;
    }
    if (getPropertyMethod == nullptr) {
        LocalRef<jclass> systemClassLocal(env, env->FindClass("java/lang/System"));
        if (systemClassLocal.get() == nullptr) {
            fatalAssert("systemClassLocal", "shared/ProfilingSession", "getProperty", env);
        }
        systemClass = static_cast<jclass>(env->NewGlobalRef(systemClassLocal.get()));
        if (systemClass == nullptr) {
            fatalAssert("systemClass", "shared/ProfilingSession", "getProperty", env);
        }
        getPropertyMethod = env->GetStaticMethodID(systemClass, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
        if (getPropertyMethod == nullptr) {
            fatalAssert("getPropertyMethod", "shared/ProfilingSession", "getProperty", env);
        }
    }

    LocalRef<jstring> name(env, env->NewStringUTF(propertyName));
    if (name.get() == nullptr) {
        clearPendingException(env);  // OutOfMemoryError
        return nullptr;
    }
    LocalRef<jstring> value(env, static_cast<jstring>(env->CallStaticObjectMethod(systemClass, getPropertyMethod, name.get())));
    if (clearPendingException(env) || value.get() == nullptr) {
        return nullptr;
    }
    UtfChars chars(env, value.get());
    if (chars.get() == nullptr) {
        return nullptr;
    }
    return copyString(chars.get());
}

void JNICALL Profiling::dxVMDeath(jvmtiEnv* jvmti, JNIEnv* env) {
    SamplerHelper::stop(env);
    // A recording thread that calls System.exit itself (from one of the Java
    // hooks the run calls) delivers this event inside the run, holding the
    // thread monitor: its run cannot end while we wait, so do not wait.
    if (env != nullptr && g_recordingThreadEnv.load(std::memory_order_acquire) == env) {
        return;
    }
    // The process ends once this callback returns. A recording on another
    // thread stops at its next tick and then writes its snapshot; wait for it
    // (bounded, without the thread monitor) so the file is not cut off.
    for (int waited = 0; g_recordingInProgress.load(std::memory_order_acquire) && waited < RECORDING_END_WAIT_MILLIS;
         waited += RECORDING_END_POLL_MILLIS) {
        ThreadMonitor::sleep(RECORDING_END_POLL_MILLIS);
    }
}

namespace {

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The directory this library was loaded from, with a trailing slash; empty
// when the loader cannot tell.
std::string libraryDirectory() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&Profiling::addAgentJar), &info) == 0 || info.dli_fname == nullptr) {
        return "";
    }
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// Loads the recorder class through the system class loader, which holds the
// agent jar, and calls RecorderAgent.onLoad with the option bytes. Every failure is a
// console message; the JVM goes on without a recording.
void startRecorder(JNIEnv* env, const char* options) {
    LocalRef<jclass> agent(env, CommandChannel::loadAgentClass(env, RECORDER_AGENT_CLASS));
    if (agent.get() == nullptr) {
        MessageUtil::message("Could not start the recorder: %s not found in the agent jar", RECORDER_AGENT_CLASS);
        return;
    }
    jmethodID onLoad = env->GetStaticMethodID(agent.get(), "onLoad", "([B)V");
    if (clearPendingException(env) || onLoad == nullptr) {
        MessageUtil::message("Could not start the recorder: the agent jar is of another version");
        return;
    }
    // As bytes: a file name need not be valid (modified) UTF-8, which NewStringUTF
    // would require; the recorder decodes them as the JVM decodes file names.
    jsize length = static_cast<jsize>(std::strlen(options));
    LocalRef<jbyteArray> bytes(env, env->NewByteArray(length));
    if (clearPendingException(env) || bytes.get() == nullptr) {
        return;
    }
    env->SetByteArrayRegion(bytes.get(), 0, length, reinterpret_cast<const jbyte*>(options));
    if (clearPendingException(env)) {
        return;
    }
    env->CallStaticVoidMethod(agent.get(), onLoad, bytes.get());
    if (clearPendingException(env)) {
        MessageUtil::message("Could not start the recorder (see the exception above)");
    }
}

}  // namespace

bool Profiling::addAgentJar(jvmtiEnv* jvmti, const char* options) {
    std::string jar = StartupOptions::value(options, "jar");
    if (jar.empty()) {
        std::string dir = libraryDirectory();
        for (const std::string& candidate : {dir + AGENT_JAR_NAME, dir + "jars/" + AGENT_JAR_NAME}) {
            if (!dir.empty() && isRegularFile(candidate)) {
                jar = candidate;
                break;
            }
        }
    }
    bool wanted = StartupOptions::requestsRecording(options);
    if (jar.empty() || !isRegularFile(jar)) {
        // Without a recording asked for, the jar is only a convenience.
        if (wanted) {
            MessageUtil::message("No recording from start: agent jar %s not found; give its path as jar=PATH",
                                 jar.empty() ? AGENT_JAR_NAME : jar.c_str());
        }
        return false;
    }
    jvmtiError error = jvmti->AddToSystemClassLoaderSearch(jar.c_str());
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::message("Could not add the agent jar %s to the class path (code: %d)", jar.c_str(),
                             static_cast<int>(error));
        return false;
    }
    return true;
}

void JNICALL Profiling::dxVMInit(jvmtiEnv* jvmti, JNIEnv* env, jthread thread) {
    if (env == nullptr || g_profilingSession == nullptr || !g_profilingSession->isAttached()) {
        return;
    }
    {
        ThreadMonitorLock lock;
        // As at attach: the Java version replaces the VM version even when unset.
        char* javaVersion = getProperty(env, "java.version");
        delete[] g_profilingSession->javaVersion;
        g_profilingSession->javaVersion = javaVersion;
    }
    // Outside the thread monitor: the recorder's thread registers threads under it.
    if (agentJarAdded && loadOptions != nullptr) {
        startRecorder(env, loadOptions);
    }
}

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* reserved) {
    if (g_profilingSession != nullptr) {
        g_profilingSession->init(vm, options, true);
    }
    return JNI_OK;
}

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM* vm, char* options, void* reserved) {
    // A command of the tolvane tool, not a load: no console line, nothing initialised.
    const char* command = CommandChannel::command(options);
    if (command != nullptr) {
        return CommandChannel::dispatch(vm, command);
    }
    if (g_profilingSession != nullptr) {
        g_profilingSession->init(vm, options);
    }
    return JNI_OK;
}
