#include "MethodDesc.h"

#include <cstring>

#include "ClassData.h"
#include "DataWriter.h"
#include "NetioClass.h"
#include "SnapshotFormat.h"
#include "StringCopy.h"

namespace {

const char SPECIAL_PREFIX[] = "__ovk_";
const char SLEEP_METHOD_NAME[] = "__ovk_sleep";

// The natives in which threads sleep, wait and park, over the JDK versions.
struct WaitMethod {
    const char* className;
    const char* methodName;
};
const WaitMethod WAIT_METHODS[] = {
    {"java.lang.Thread", "sleep"},         {"java.lang.Thread", "sleep0"},
    {"java.lang.Thread", "sleepNanos0"},   {"java.lang.Object", "wait"},
    {"java.lang.Object", "wait0"},         {"jdk.internal.misc.Unsafe", "park"},
    {"sun.misc.Unsafe", "park"},
};

// Where a virtual thread's frames begin on its carrier's stack: the carrier
// enters the continuation through these, and every frame above the
// outermost of them belongs to the virtual thread it mounted.
const char CONTINUATION_CLASS[] = "jdk.internal.vm.Continuation";
const char* const CONTINUATION_ENTRIES[] = {"enterSpecial", "enter", "enter0"};

}  // namespace

MethodDesc::MethodDesc(ClassData* classData, const char* name, int nameLength,
                       const char* signature, int signatureLength, MethodFilters* registry)
    : classData(classData),
      methodName(copyChars(name, nameLength)),
      methodSignature(copyChars(signature, signatureLength)),
      isFiltered(false),
      isIgnored(false),
      isSpecialMethod(false),
      isNetio(false),
      isWaitMethod(false),
      isContinuationEntry(false) {
    updateSpecialMethods();
    updateFilters(registry);
}

MethodDesc::~MethodDesc() {
    delete[] methodName;
    delete[] methodSignature;
}

bool MethodDesc::isSpecialMethodName(const char* name) {
    return name != nullptr && std::strncmp(name, SPECIAL_PREFIX, sizeof SPECIAL_PREFIX - 1) == 0 &&
           std::strcmp(name, SLEEP_METHOD_NAME) != 0;
}

void MethodDesc::updateSpecialMethods() {
    isSpecialMethod = isSpecialMethodName(methodName);
    isNetio = classData != nullptr && classData->netioClass != nullptr &&
              classData->netioClass->isNetioMethod(methodName, methodSignature);
    isWaitMethod = false;
    for (const WaitMethod& wait : WAIT_METHODS) {
        if (classData != nullptr && classData->name != nullptr && std::strcmp(classData->name, wait.className) == 0 &&
            std::strcmp(methodName, wait.methodName) == 0) {
            isWaitMethod = true;
        }
    }
    isContinuationEntry = false;
    if (classData != nullptr && classData->name != nullptr && std::strcmp(classData->name, CONTINUATION_CLASS) == 0) {
        for (const char* entry : CONTINUATION_ENTRIES) {
            if (std::strcmp(methodName, entry) == 0) {
                isContinuationEntry = true;
            }
        }
    }
}

void MethodDesc::updateFilters(MethodFilters* registry) {
    isFiltered = false;
    isIgnored = false;
    if (registry == nullptr || classData == nullptr ||
        classData->classKind == ClassData::INTERCEPTION_CLASS_KIND) {
        return;
    }
    isIgnored = registry->isIgnoredMethod(classData, methodName, (int)std::strlen(methodName),
                                          methodSignature, (int)std::strlen(methodSignature));
    isFiltered = registry->isFilteredClassName(classData->name);
}

void MethodDesc::write(DataWriter* writer) {
    writer->writeByte(SnapshotFormat::TAG_RECORD);
    writer->writeID(this);
    writer->writeID(classData);
    writer->writeString(methodName);
    writer->writeString(methodSignature);
}
