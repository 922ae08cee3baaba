// A plugin the symbolication tests never load: exported, hidden and static
// functions whose frames must be named from the file alone.
namespace symbolplugin {

namespace {
int staticHelper(int x) { return x * 7 + 3; }
int staticSecond(int x) { return staticHelper(x) ^ 0x55; }
}  // namespace

__attribute__((visibility("hidden"))) int hiddenFilter(int x) { return staticSecond(x) + 11; }
__attribute__((visibility("hidden"))) int hiddenCompose(int x, int y) { return hiddenFilter(x) * y; }

template <class T>
struct Frame {
    T value;
    T twice() const { return value + value; }
};

int printPhoto(int copies) { return hiddenCompose(copies, 2) + Frame<int>{copies}.twice(); }
long shareByMail(long id) { return static_cast<long>(staticSecond(static_cast<int>(id))) * 3; }

}  // namespace symbolplugin

extern "C" int symbolPluginEntry(int x) { return symbolplugin::printPhoto(x) + static_cast<int>(symbolplugin::shareByMail(x)); }

// Calls back into the program that opened the plugin (which crashes there).
extern "C" int symbolPluginCall(int (*callback)(void*), void* argument) {
    int r = callback(argument);
    return r + 1;
}
