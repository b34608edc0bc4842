#include "ClassData.h"

#include <cstring>

#include "DataWriter.h"
#include "StringCopy.h"

namespace {
const char AGENT_PACKAGE[] = "com.tolvane.agent.";
const char UNKNOWN_CLASS_NAME[] = "com.tolvane.agent.Unknown";

bool startsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}
}  // namespace

ClassData::ClassData(const char* className, int classKind, NetioClass* netioClass)
    : classKind(classKind), netioClass(netioClass) {
    if (className == nullptr) {
        className = "";
    }
    name = copyString(className);
    isProxy = isProxyName(name);
    isAgentClass = isAgentClassName(name);
}

ClassData::~ClassData() {
    delete[] name;
}

bool ClassData::isAgentClassName(const char* className) {
    if (className == nullptr) {
        return false;
    }
    return std::strncmp(className, AGENT_PACKAGE, sizeof AGENT_PACKAGE - 1) == 0 &&
           std::strcmp(className, UNKNOWN_CLASS_NAME) != 0;
}

bool ClassData::isProxyName(const char* name) {
    return name != nullptr && (startsWith(name, "$Proxy") || startsWith(name, "com.sun.proxy."));
}

void ClassData::write(DataWriter* writer) {
    writer->writeByte(SnapshotFormat::TAG_RECORD);
    writer->writeID(this);
    writer->writeString(name);
    writer->writeU4(classKind);
}
