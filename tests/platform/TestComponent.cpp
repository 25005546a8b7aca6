// A small in-process component for the automation tests: one class, found through the registry and
// loaded with dlopen.
#include "Automation.h"

#include <stdexcept>

using namespace morvane::platform;

namespace {

constexpr const char* kClsid = "{6A1F2E30-5B7C-4D21-9E0A-3C4B5D6E7F80}";

class TestCalculator : public DispatchObject {
public:
    TestCalculator() {
        addMember(QStringLiteral("Add"), 1, 2,
                  [](Arguments& args) { return Variant(args.at(0).value().toInt32() + args.at(1).value().toInt32()); });
        // Writes the half of its first argument through the reference (the caller's type decides).
        addMember(QStringLiteral("Halve"), 2, 1, [](Arguments& args) {
            args.at(0).set(Variant(args.at(0).value().toDouble() / 2));
            return Variant(int32_t(0));
        });
        addMember(QStringLiteral("Fail"), 3, 0,
                  [](Arguments&) -> Variant { throw std::runtime_error("component failed"); });
    }
};

class Factory : public IClassFactory {
public:
    DispatchPtr createInstance() override { return std::make_shared<TestCalculator>(); }
};

} // namespace

extern "C" __attribute__((visibility("default"))) IClassFactory* MorvaneGetClassObject(const char* clsid) {
    static Factory factory;
    return QString::fromUtf8(clsid).compare(QLatin1String(kClsid), Qt::CaseInsensitive) == 0 ? &factory : nullptr;
}
