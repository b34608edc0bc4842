#include <vector>

#include "CallTreeSampler.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "HashMap.h"
#include "MethodDesc.h"
#include "NetioClass.h"
#include "PointerHashMap.h"
#include "ProfilingSession.h"
#include "String.h"

// ---- load-time state, created in this order when the library is loaded ----
// Everything the library builds before Agent_OnAttach or Agent_OnLoad is
// defined here, in one translation unit, so that construction follows this
// order and the containers are destroyed in the reverse order when the library
// is unloaded. These belong to classes of several layers; only the agent sees
// them all, so the list lives in the agent. Keep the rows in this order when
// filling them in.
// 1. line-number cache: the empty line-number table
LineNumberTableStruct* CallTreeHelper::emptyStruct = new LineNumberTableStruct{0, nullptr};
// 2. line-number cache: method id to line-number table
PointerHashMap<LineNumberTableStruct, void*> CallTreeHelper::methodId2LineNumberTableStruct(11, 0.75f);
// 3. method map: method id to descriptor; never grows
PointerHashMap<MethodDesc, void*> ClassProfilingHelper::_methodIdToMethodDesc(200000, 0.0f);
// 4. class-name map: class signature to class descriptor
HashMap<String, ClassData> ClassProfilingHelper::tolvaneClassNameToClassData(11, 0.75f);
// 5. ignored class names
std::vector<char*> ClassProfilingHelper::tolvaneIgnoredClassNames;
// 6. net I/O classes
HashMap<NetioClass, NetioClass> ClassProfilingHelper::netioClasses(11, 0.75f);
// 7. net I/O lookup record, reused as the search key
NetioClass* ClassProfilingHelper::lookupNetioClass = new NetioClass();
// 8. interception pseudo-class
ClassData* ClassProfilingHelper::interceptionClassData = new ClassData("_druvax_annotation_class", ClassData::INTERCEPTION_CLASS_KIND, nullptr);
// 9. unknown class
ClassData* ClassProfilingHelper::unknownClassData = new ClassData("com.tolvane.agent.Unknown", 0, nullptr);
// 10. the agent state; never freed while the library is loaded.
ProfilingSession* g_profilingSession = new ProfilingSession();
// ---- end of load-time state ----
