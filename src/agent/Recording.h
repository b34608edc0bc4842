#ifndef TOLVANE_RECORDING_H
#define TOLVANE_RECORDING_H

#include <jni.h>

// The recording run behind JvmtiCallee.record.
namespace Recording {

// Registers every live thread, samples them for durationMillis on the calling
// thread, writes the snapshot to snapshotPath (the file name's bytes, up to
// the first zero byte) and frees the run's per-thread state. Returns at once
// while another run is in progress. The agent must be attached.
void run(JNIEnv* env, jclass calleeClass, jlong durationMillis, jboolean sampleTransactions,
         jboolean recordAgentThreads, jbyteArray snapshotPath);

}  // namespace Recording

#endif
