#ifndef TOLVANE_THREADDESC_H
#define TOLVANE_THREADDESC_H

#include <jni.h>
#include <vector>

class ThreadManager;
class DataWriter;

// What describes one thread over a recording: its names at registration,
// start and end time and its status timeline. Owned by its ThreadManager;
// used under the thread monitor like the manager.
//
// The timeline holds (status code, time) points; times are stored as counts
// of 10 milliseconds of the library clock and written back as microseconds.
class ThreadDesc {
public:
    // Copies both names; a null name stays null.
    ThreadDesc(ThreadManager* manager, const char* threadName, const char* groupName, jlong startTime);
    ~ThreadDesc();
    ThreadDesc(const ThreadDesc&) = delete;
    ThreadDesc& operator=(const ThreadDesc&) = delete;

    void setThreadName(const char* name);
    void setGroupName(const char* name);
    const char* getThreadName() const { return threadName; }
    const char* getGroupName() const { return groupName; }
    std::vector<unsigned char>& getThreadStatusList() { return threadStatusList; }
    std::vector<jint>& getThreadStatusTimeList() { return threadStatusTimeList; }
    jlong getThreadStartTime() const { return threadStartTime; }
    jlong getThreadEndTime() const { return threadEndTime; }
    void setThreadEndTime(jlong time) { threadEndTime = time; }

    // Appends one timeline point; the time is taken in microseconds.
    void addStatus(unsigned char status, jlong timestamp);

    // Start and end times are raised to recordStartTime when earlier
    // (an end time of -1, "still alive", is kept).
    void write(DataWriter* writer, jlong recordStartTime);

    ThreadManager* threadManager;
    char* threadName;
    char* groupName;
    jlong threadStartTime;
    jlong threadEndTime;
    std::vector<unsigned char> threadStatusList;
    std::vector<jint> threadStatusTimeList;
};

#endif
