#ifndef TOLVANE_CLASSDATA_H
#define TOLVANE_CLASSDATA_H

#include <cstdint>

#include "SnapshotFormat.h"

class NetioClass;
class DataWriter;

// Descriptor of one Java class met in samples, identified in snapshots by its
// address. Owned by the registry (ClassProfilingSession), never freed while
// the library runs. Immutable after construction.
class ClassData {
public:
    // Kind of the interception pseudo-class; methods of a class of this kind
    // are never filtered or ignored.
    static const int32_t INTERCEPTION_CLASS_KIND = SnapshotFormat::CLASS_KIND_INTERCEPTION;

    // Copies name (null becomes ""); isProxy and isAgentClass are derived
    // from the copy.
    ClassData(const char* name, int classKind, NetioClass* netioClass);
    ~ClassData();

    ClassData(const ClassData&) = delete;
    ClassData& operator=(const ClassData&) = delete;

    // Class record of the snapshot: tag 1, ID, name, kind.
    void write(DataWriter* writer);

    // Whether a dotted class name belongs to the agent itself: it lies in the
    // package com.tolvane.agent or below, except the pseudo-class
    // "com.tolvane.agent.Unknown", whose method stands for unresolvable
    // frames and must stay visible.
    static bool isAgentClassName(const char* name);
    // True when name begins with "$Proxy" or "com.sun.proxy.".
    static bool isProxyName(const char* name);

    // Dotted class name such as java.lang.String; owned.
    char* name;
    // A class of the agent itself: its methods are ignored in call trees
    // unless agent classes are sampled.
    bool isAgentClass;
    // A dynamic proxy class ($Proxy..., com.sun.proxy....).
    bool isProxy;
    // 0 for classes met in samples, INTERCEPTION_CLASS_KIND for the
    // interception pseudo-class.
    int32_t classKind;
    // The net I/O record of this class name when the descriptor was created,
    // or null. Not owned.
    NetioClass* netioClass;
};

#endif
