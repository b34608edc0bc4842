#include "LockProbe.h"

#include <cstring>
#include <string>

#include "CpuProfilingSession.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "SnapshotFormat.h"
#include "ThreadManager.h"

bool g_contendedMonitorAvailable = false;
bool g_monitorInfoAvailable = false;

namespace {

// Looked up once per process and kept: bootstrap classes are never
// unloaded, so their field IDs stay valid.
bool fieldsLooked = false;
jfieldID parkBlockerField = nullptr;
jclass ownableSynchronizerClass = nullptr;  // global reference
jfieldID exclusiveOwnerField = nullptr;

// The platform ThreadMXBean and the methods that read a blocked thread's
// lock from it; looked up once, on the first monitor read without the
// contended-monitor capability.
bool managementLooked = false;
jobject threadBean = nullptr;  // global reference
jmethodID threadIdMethod = nullptr;
jmethodID threadInfoMethod = nullptr;
jmethodID lockInfoMethod = nullptr;
jmethodID lockClassNameMethod = nullptr;
jmethodID lockOwnerIdMethod = nullptr;
jmethodID lockOwnerNameMethod = nullptr;

const char* const THREAD_CLASS = "java/lang/Thread";
const char* const OWNABLE_SYNCHRONIZER_CLASS = "java/util/concurrent/locks/AbstractOwnableSynchronizer";

}  // namespace

LockProbe::LockProbe(JNIEnv* env, jvmtiEnv* jvmti, LockTable* table, CpuProfilingSession* threads)
    : env(env), jvmti(jvmti), table(env != nullptr && jvmti != nullptr ? table : nullptr), threads(threads) {}

void LockProbe::captured(jthread thread, ThreadManager* manager, jint state, jlong micros) {
    if (table == nullptr || manager == nullptr) {
        return;
    }
    LockWait wait;
    bool known = false;
    readsUsedUp = false;
    // Runnable wins over any other bit, as for the thread's status.
    if ((state & JVMTI_THREAD_STATE_RUNNABLE) == 0) {
        if ((state & JVMTI_THREAD_STATE_BLOCKED_ON_MONITOR_ENTER) != 0) {
            known = readMonitor(thread, wait);
        } else if ((state & JVMTI_THREAD_STATE_PARKED) != 0) {
            known = readParkBlocker(thread, wait);
        }
    }
    if (known) {
        table->setWait(manager, wait);
    } else {
        table->clearWait(manager);
    }
    if (readsUsedUp) {
        table->markUnread(manager);
    }
    table->book(manager, micros);
}

void LockProbe::unchanged(jthread thread, ThreadManager* manager, jlong micros) {
    if (table == nullptr || manager == nullptr) {
        return;
    }
    // A thread booked by its native clock alone comes without a reference:
    // its wait stays as read, and unread ones wait for a tick that has one.
    if (thread != nullptr && table->takeUnread(manager)) {
        // Still blocked where it was captured: it has not run since.
        LockWait wait;
        readsUsedUp = false;
        bool known = readMonitor(thread, wait);
        if (known) {
            table->setWait(manager, wait);
        }
        if (readsUsedUp) {
            table->markUnread(manager);
        }
    }
    table->book(manager, micros);
}

bool LockProbe::readMonitor(jthread thread, LockWait& wait) {
    if (!g_contendedMonitorAvailable) {
        return readMonitorThroughManagement(thread, wait);
    }
    jobject monitor = nullptr;
    // The thread may have entered the monitor since its capture: then there
    // is none, and this tick's blocked time names no lock.
    if (jvmti->GetCurrentContendedMonitor(thread, &monitor) != JVMTI_ERROR_NONE || monitor == nullptr) {
        return false;
    }
    wait.kind = SnapshotFormat::LOCK_KIND_MONITOR;
    for (const KnownMonitor& known : knownMonitors) {
        if (env->IsSameObject(known.monitor, monitor)) {
            wait = known.wait;
            return true;
        }
    }
    wait.lockClass = className(monitor);
    if (g_monitorInfoAvailable && ownerReads >= MAX_OWNER_READS_PER_TICK) {
        readsUsedUp = true;
        return true;  // not kept with the tick's monitors: its owner is still to be read
    }
    if (g_monitorInfoAvailable) {
        ownerReads++;
        jvmtiMonitorUsage usage;
        std::memset(&usage, 0, sizeof usage);
        if (jvmti->GetObjectMonitorUsage(monitor, &usage) == JVMTI_ERROR_NONE) {
            JvmtiBuffer<jthread> waiters(jvmti);
            *waiters.out() = usage.waiters;
            JvmtiBuffer<jthread> notifyWaiters(jvmti);
            *notifyWaiters.out() = usage.notify_waiters;
            setOwner(usage.owner, wait);
        }
    }
    knownMonitors.push_back(KnownMonitor{monitor, wait});
    return true;
}

bool LockProbe::readParkBlocker(jthread thread, LockWait& wait) {
    if (!ensureFields()) {
        return false;
    }
    LocalRef<jobject> blocker(env, env->GetObjectField(thread, parkBlockerField));
    if (clearPendingException(env) || blocker.get() == nullptr) {
        return false;  // parked without a blocker: nothing to name
    }
    wait.kind = SnapshotFormat::LOCK_KIND_PARK;
    wait.lockClass = className(blocker.get());
    if (ownableSynchronizerClass != nullptr && env->IsInstanceOf(blocker.get(), ownableSynchronizerClass)) {
        LocalRef<jobject> owner(env, env->GetObjectField(blocker.get(), exclusiveOwnerField));
        if (!clearPendingException(env)) {
            setOwner(static_cast<jthread>(owner.get()), wait);
        }
    }
    return true;
}

bool LockProbe::readMonitorThroughManagement(jthread thread, LockWait& wait) {
    // Each read is a thread dump at a safepoint: bounded like owner reads.
    if (ownerReads >= MAX_OWNER_READS_PER_TICK) {
        readsUsedUp = true;
        return false;
    }
    if (!ensureManagement()) {
        return false;
    }
    ownerReads++;
    jlong id = env->CallLongMethod(thread, threadIdMethod);
    if (clearPendingException(env)) {
        return false;
    }
    LocalRef<jobject> info(env, env->CallObjectMethod(threadBean, threadInfoMethod, id));
    if (clearPendingException(env) || info.get() == nullptr) {
        return false;
    }
    LocalRef<jobject> lock(env, env->CallObjectMethod(info.get(), lockInfoMethod));
    if (clearPendingException(env) || lock.get() == nullptr) {
        return false;  // no longer blocked
    }
    LocalRef<jstring> lockClass(env, static_cast<jstring>(env->CallObjectMethod(lock.get(), lockClassNameMethod)));
    if (clearPendingException(env)) {
        return false;
    }
    wait.kind = SnapshotFormat::LOCK_KIND_MONITOR;
    wait.lockClass = internJavaString(lockClass.get());
    jlong ownerId = env->CallLongMethod(info.get(), lockOwnerIdMethod);
    if (clearPendingException(env) || ownerId < 0) {
        return true;
    }
    // Known by name only: the bean gives the owner's ID, not its Thread.
    LocalRef<jstring> owner(env, static_cast<jstring>(env->CallObjectMethod(info.get(), lockOwnerNameMethod)));
    if (!clearPendingException(env)) {
        wait.ownerName = internJavaString(owner.get());
    }
    return true;
}

uint32_t LockProbe::internJavaString(jstring text) {
    if (text == nullptr) {
        return LockWait::NO_NAME;
    }
    UtfChars chars(env, text);
    return chars.get() != nullptr ? table->internName(chars.get()) : LockWait::NO_NAME;
}

bool LockProbe::ensureManagement() {
    if (managementLooked) {
        return threadBean != nullptr;
    }
    managementLooked = true;
    LocalRef<jclass> factory(env, env->FindClass("java/lang/management/ManagementFactory"));
    if (clearPendingException(env) || factory.get() == nullptr) {
        return false;
    }
    jmethodID getBean =
        env->GetStaticMethodID(factory.get(), "getThreadMXBean", "()Ljava/lang/management/ThreadMXBean;");
    if (clearPendingException(env) || getBean == nullptr) {
        return false;
    }
    LocalRef<jclass> threadClass(env, env->FindClass(THREAD_CLASS));
    LocalRef<jclass> beanClass(env, env->FindClass("java/lang/management/ThreadMXBean"));
    LocalRef<jclass> infoClass(env, env->FindClass("java/lang/management/ThreadInfo"));
    LocalRef<jclass> lockClass(env, env->FindClass("java/lang/management/LockInfo"));
    if (clearPendingException(env) || threadClass.get() == nullptr || beanClass.get() == nullptr ||
        infoClass.get() == nullptr || lockClass.get() == nullptr) {
        return false;
    }
    threadIdMethod = env->GetMethodID(threadClass.get(), "getId", "()J");
    threadInfoMethod = env->GetMethodID(beanClass.get(), "getThreadInfo", "(J)Ljava/lang/management/ThreadInfo;");
    lockInfoMethod = env->GetMethodID(infoClass.get(), "getLockInfo", "()Ljava/lang/management/LockInfo;");
    lockOwnerIdMethod = env->GetMethodID(infoClass.get(), "getLockOwnerId", "()J");
    lockOwnerNameMethod = env->GetMethodID(infoClass.get(), "getLockOwnerName", "()Ljava/lang/String;");
    lockClassNameMethod = env->GetMethodID(lockClass.get(), "getClassName", "()Ljava/lang/String;");
    if (clearPendingException(env) || threadIdMethod == nullptr || threadInfoMethod == nullptr ||
        lockInfoMethod == nullptr || lockOwnerIdMethod == nullptr || lockOwnerNameMethod == nullptr ||
        lockClassNameMethod == nullptr) {
        return false;
    }
    LocalRef<jobject> bean(env, env->CallStaticObjectMethod(factory.get(), getBean));
    if (clearPendingException(env) || bean.get() == nullptr) {
        return false;
    }
    threadBean = env->NewGlobalRef(bean.get());
    clearPendingException(env);
    return threadBean != nullptr;
}

uint32_t LockProbe::className(jobject object) {
    LocalRef<jclass> cls(env, env->GetObjectClass(object));
    if (cls.get() == nullptr) {
        return LockWait::NO_NAME;
    }
    JvmtiBuffer<char> signature(jvmti);
    if (jvmti->GetClassSignature(cls.get(), signature.out(), nullptr) != JVMTI_ERROR_NONE ||
        signature.get() == nullptr) {
        return LockWait::NO_NAME;
    }
    return table->internName(dottedName(signature.get()).c_str());
}

void LockProbe::setOwner(jthread owner, LockWait& wait) {
    if (owner == nullptr) {
        return;
    }
    ThreadManager* manager = threads != nullptr ? threads->getThreadManager(owner) : nullptr;
    if (manager != nullptr && manager->threadDesc != nullptr) {
        wait.owner = manager;
        return;
    }
    // A thread the recording does not list: kept by name.
    jvmtiThreadInfo info;
    std::memset(&info, 0, sizeof info);
    if (jvmti->GetThreadInfo(owner, &info) != JVMTI_ERROR_NONE) {
        return;
    }
    JvmtiBuffer<char> name(jvmti);
    *name.out() = info.name;
    LocalRef<jthreadGroup> group(env, info.thread_group);
    LocalRef<jobject> loader(env, info.context_class_loader);
    wait.ownerName = table->internName(name.get() != nullptr ? name.get() : "");
}

bool LockProbe::ensureFields() {
    if (fieldsLooked) {
        return parkBlockerField != nullptr;
    }
    fieldsLooked = true;
    LocalRef<jclass> threadClass(env, env->FindClass(THREAD_CLASS));
    if (clearPendingException(env) || threadClass.get() == nullptr) {
        return false;
    }
    jfieldID blocker = env->GetFieldID(threadClass.get(), "parkBlocker", "Ljava/lang/Object;");
    if (clearPendingException(env) || blocker == nullptr) {
        return false;
    }
    LocalRef<jclass> aos(env, env->FindClass(OWNABLE_SYNCHRONIZER_CLASS));
    if (!clearPendingException(env) && aos.get() != nullptr) {
        jfieldID owner = env->GetFieldID(aos.get(), "exclusiveOwnerThread", "Ljava/lang/Thread;");
        if (!clearPendingException(env) && owner != nullptr) {
            jclass global = static_cast<jclass>(env->NewGlobalRef(aos.get()));
            if (global != nullptr) {
                ownableSynchronizerClass = global;
                exclusiveOwnerField = owner;
            }
            clearPendingException(env);
        }
    }
    parkBlockerField = blocker;
    return true;
}

void LockProbe::requestCapabilities(jvmtiEnv* jvmti) {
    g_contendedMonitorAvailable = false;
    g_monitorInfoAvailable = false;
    if (jvmti == nullptr) {
        return;
    }
    jvmtiCapabilities potential;
    std::memset(&potential, 0, sizeof potential);
    if (jvmti->GetPotentialCapabilities(&potential) != JVMTI_ERROR_NONE) {
        return;
    }
    // One at a time: a JVM that grants only one still gives that one.
    if (potential.can_get_current_contended_monitor) {
        jvmtiCapabilities wanted;
        std::memset(&wanted, 0, sizeof wanted);
        wanted.can_get_current_contended_monitor = 1;
        g_contendedMonitorAvailable = jvmti->AddCapabilities(&wanted) == JVMTI_ERROR_NONE;
    }
    if (potential.can_get_monitor_info) {
        jvmtiCapabilities wanted;
        std::memset(&wanted, 0, sizeof wanted);
        wanted.can_get_monitor_info = 1;
        g_monitorInfoAvailable = jvmti->AddCapabilities(&wanted) == JVMTI_ERROR_NONE;
    }
}

std::string LockProbe::dottedName(const char* signature) {
    std::string name(signature != nullptr ? signature : "");
    size_t arrayDepth = name.find_first_not_of('[');
    if (arrayDepth == std::string::npos) {
        arrayDepth = name.size();
    }
    if (arrayDepth == 0 && name.size() >= 2 && name.front() == 'L' && name.back() == ';') {
        name = name.substr(1, name.size() - 2);
    } else if (!name.empty() && name.back() == ';') {
        name.pop_back();
    }
    for (char& c : name) {
        if (c == '/') {
            c = '.';
        }
    }
    return name;
}
