#ifndef TOLVANE_TESTS_GLOBALSSCOPE_H
#define TOLVANE_TESTS_GLOBALSSCOPE_H

#include <functional>
#include <vector>

// Saves every library global the native tests touch and puts each back when
// the scope ends, so a test may set any of them freely. Takes nothing down
// that a test built (sessions, registries); the test deletes those itself.
//
// The clock's base is fixed before it is saved: a test that reads the clock
// first does not leave behind a base that depends on the order tests ran in.
class GlobalsScope {
public:
    GlobalsScope();
    ~GlobalsScope();
    GlobalsScope(const GlobalsScope&) = delete;
    GlobalsScope& operator=(const GlobalsScope&) = delete;

private:
    std::vector<std::function<void()>> restores;
};

#endif
