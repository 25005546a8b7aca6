// Automation: variant conversions, late-bound calls, creation through the registry, the server side.
#include "Automation.h"
#include "AutomationEndpoint.h"
#include "CallContext.h"
#include "ClassRegistry.h"
#include "ComServer.h"
#include "JsonRpc.h"
#include "LineConnection.h"
#include "LocalServer.h"
#include "TestSupport.h"
#include "Variant.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace morvane::platform;
using morvane::test::TestEnvironment;

Q_DECLARE_METATYPE(morvane::platform::Variant)

namespace {

const QString kComponent = QStringLiteral(PLATFORM_TEST_COMPONENT);
const QString kComponentClsid = QStringLiteral("{6A1F2E30-5B7C-4D21-9E0A-3C4B5D6E7F80}");
const QString kServedClsid = QStringLiteral("{0B9D6C52-1E2F-4A3B-8C7D-6E5F4A3B2C1D}");
const QString kBareClsid = QStringLiteral("{7E8F9A0B-1C2D-4E3F-A4B5-C6D7E8F9A0B1}");

QStringList words(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* word : list)
        out.append(QString::fromUtf8(word));
    return out;
}

Variant date(double value) {
    return Variant(VariantDate{value});
}

// Runs a conversion; the HRESULT it failed with, or S_OK.
template <typename F>
HResult failureOf(F&& conversion) {
    try {
        conversion();
        return hr::S_OK;
    } catch (const AutomationError& e) {
        return e.code();
    }
}

// What the served objects' calls saw, across the endpoint's threads.
std::atomic<int> g_waiting{0};   // calls of WaitForCancel that have started
std::atomic<int> g_cancelled{0}; // calls of WaitForCancel that saw their client go
std::atomic<int> g_bigCalls{0};

class Door : public DispatchObject {
public:
    Door() {
        addMember(QStringLiteral("RmtOpenDoor"), 1, 1, [this](Arguments& args) {
            ++calls;
            return Variant(args.at(0).value().toInt32() * 10);
        });
        addMember(QStringLiteral("Sum"), 2, -1, [](Arguments& args) {
            double sum = 0;
            for (const Argument& a : args)
                sum += a.value().toDouble();
            return Variant(sum);
        });
        addMember(QStringLiteral("Store"), 3, 2, [](Arguments& args) {
            args.at(0).set(args.at(1).value());
            return Variant();
        });
        addMember(QStringLiteral("RaiseOwn"), 10, 0, [](Arguments&) -> Variant {
            throw AutomationError(static_cast<HResult>(0x80041234), QStringLiteral("controller refused"), 7);
        });
        addMember(QStringLiteral("RaisePositive"), 11, 0,
                  [](Arguments&) -> Variant { throw AutomationError(5, QStringLiteral("odd code")); });
        addMember(QStringLiteral("RaiseStd"), 12, 0,
                  [](Arguments&) -> Variant { throw std::runtime_error("disk on fire"); });
        addMember(QStringLiteral("RaiseOther"), 13, 0, [](Arguments&) -> Variant { throw 42; });
        addMember(QStringLiteral("ConvertInside"), 14, 0,
                  [](Arguments&) { return Variant(Variant(QStringLiteral("abc")).toInt32()); });
    }
    int calls = 0;
};

// The served class: a door with members for the endpoint's tests.
class ServedDoor : public Door {
public:
    ServedDoor() {
        // Runs, as a long statement would, until its client has gone (10 s at most).
        addMember(QStringLiteral("WaitForCancel"), 15, 0, [](Arguments&) {
            const std::shared_ptr<CallContext> context = CallContext::current();
            ++g_waiting;
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 10000 && !(context && context->isCancelled()))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            g_cancelled += context && context->isCancelled() ? 1 : 0;
            return Variant();
        });
        addMember(QStringLiteral("Big"), 16, 0, [](Arguments&) {
            ++g_bigCalls;
            return Variant(QString(512 * 1024, QLatin1Char('x')));
        });
    }
};

ServedClass servedClass() {
    ServedClass served;
    served.clsid = kServedClsid.toLower();
    served.progId = QStringLiteral("MorvaneTest.Served");
    served.description = QStringLiteral("Served test class");
    served.typeLibId = QStringLiteral("{11112222-3333-4444-5555-666677778888}");
    served.typeLibVersion = QStringLiteral("1.0");
    served.implementedCategories = {QStringLiteral("{40FC6ED4-2438-11CF-A3DB-080036F12502}")};
    served.create = [] { return std::make_shared<ServedDoor>(); };
    served.updateRegistry = [](ClassRegistry::Tree& tree, bool registering) {
        if (registering)
            ClassRegistry::treeSetValue(tree, QStringLiteral("CLSID\\") + kServedClsid, QStringLiteral("Sockets"),
                                        QStringLiteral("1"));
    };
    return served;
}

void registerComponent(const QString& clsid, const QString& library) {
    ClassRegistry registry;
    QVERIFY(registry.setValue(QStringLiteral("MorvaneTest.Calculator\\CLSID"), {}, clsid));
    QVERIFY(registry.setValue(QStringLiteral("CLSID\\") + clsid + QStringLiteral("\\InprocServer32"), {}, library));
}

// Stands for the log-on guard: writes down what it is asked, and refuses every call before the log-on.
class RecordingGuard : public rpc::ConnectionGuard {
public:
    RecordingGuard(std::shared_ptr<QStringList> log, bool loggedOn)
        : m_log(std::move(log))
        , m_loggedOn(loggedOn) {}
    std::optional<QJsonObject> handle(const QString& method, const QJsonValue&) override {
        *m_log << QStringLiteral("inner ") + method;
        return std::nullopt;
    }
    void begin(const QString& method) override {
        *m_log << QStringLiteral("begin ") + method;
        if (!m_loggedOn)
            throw AutomationError(hr::E_ACCESSDENIED, QStringLiteral("Log on first"));
    }
    void end() override { *m_log << QStringLiteral("end"); }

private:
    const std::shared_ptr<QStringList> m_log;
    const bool m_loggedOn;
};

// A guard with one method of its own, Echo, that fails when asked to.
class EchoGuard : public rpc::LayeredGuard {
public:
    EchoGuard(std::shared_ptr<QStringList> log, std::unique_ptr<rpc::ConnectionGuard> inner)
        : LayeredGuard(std::move(inner))
        , m_log(std::move(log)) {}
    std::optional<QJsonObject> handle(const QString& method, const QJsonValue& params) override {
        return handleOwn(QLatin1String("Echo"), method, params, [&] {
            *m_log << QStringLiteral("answer");
            if (params.toString() == QLatin1String("fail"))
                throw AutomationError(hr::E_FAIL, QStringLiteral("asked to fail"));
            return QJsonObject{{QStringLiteral("echo"), params}};
        });
    }

private:
    const std::shared_ptr<QStringList> m_log;
};

} // namespace

class TestAutomation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        ComServer::instance().registerClass(servedClass());
        ServedClass bare;
        bare.clsid = kBareClsid;
        bare.description = QStringLiteral("Class without a ProgID");
        bare.create = [] { return std::make_shared<Door>(); };
        ComServer::instance().registerClass(bare);
    }

    void toInt32_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<int>("expected");
        QTest::addColumn<HResult>("failure");
        const HResult ok = hr::S_OK;
        QTest::newRow("half to even down") << Variant(2.5) << 2 << ok;
        QTest::newRow("half to even up") << Variant(3.5) << 4 << ok;
        QTest::newRow("negative half") << Variant(-2.5) << -2 << ok;
        QTest::newRow("below half") << Variant(2.4999) << 2 << ok;
        QTest::newRow("largest") << Variant(2147483647.4) << 2147483647 << ok;
        QTest::newRow("rounds past largest") << Variant(2147483647.5) << 0 << hr::DISP_E_OVERFLOW;
        QTest::newRow("smallest by rounding") << Variant(-2147483648.5) << std::numeric_limits<int>::min() << ok;
        QTest::newRow("below smallest") << Variant(-2147483649.0) << 0 << hr::DISP_E_OVERFLOW;
        QTest::newRow("not a number") << Variant(std::nan("")) << 0 << hr::DISP_E_OVERFLOW;
        QTest::newRow("text") << Variant(QStringLiteral("1")) << 1 << ok;
        QTest::newRow("text with blanks") << Variant(QStringLiteral(" 12 ")) << 12 << ok;
        QTest::newRow("text fraction") << Variant(QStringLiteral("2.5")) << 2 << ok;
        QTest::newRow("text hex") << Variant(QStringLiteral("&H10")) << 16 << ok;
        QTest::newRow("text too large") << Variant(QStringLiteral("3000000000")) << 0 << hr::DISP_E_OVERFLOW;
        QTest::newRow("text not a number") << Variant(QStringLiteral("abc")) << 0 << hr::DISP_E_TYPEMISMATCH;
        QTest::newRow("empty text") << Variant(QString()) << 0 << hr::DISP_E_TYPEMISMATCH;
        QTest::newRow("true") << Variant(true) << -1 << ok;
        QTest::newRow("false") << Variant(false) << 0 << ok;
        QTest::newRow("EMPTY") << Variant() << 0 << ok;
        QTest::newRow("NULL") << Variant::null() << 0 << hr::DISP_E_TYPEMISMATCH;
        QTest::newRow("date") << date(1.5) << 2 << ok;
        QTest::newRow("array") << Variant(VariantArray{Variant(1)}) << 0 << hr::DISP_E_TYPEMISMATCH;
        QTest::newRow("object") << Variant(DispatchPtr(std::make_shared<Door>())) << 0 << hr::DISP_E_TYPEMISMATCH;
    }
    void toInt32() {
        QFETCH(Variant, value);
        QFETCH(int, expected);
        QFETCH(HResult, failure);
        int32_t got = 0;
        QCOMPARE(failureOf([&] { got = value.toInt32(); }), failure);
        if (failure == hr::S_OK) {
            QCOMPARE(got, expected);
            QCOMPARE(value.convertedTo(VarType::I4), Variant(int32_t(expected)));
        }
    }

    void toText_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<HResult>("failure");
        const HResult ok = hr::S_OK;
        QTest::newRow("integer") << Variant(-5) << "-5" << ok;
        QTest::newRow("whole double") << Variant(3.0) << "3" << ok;
        QTest::newRow("fraction") << Variant(2.5) << "2.5" << ok;
        QTest::newRow("true") << Variant(true) << "True" << ok;
        QTest::newRow("false") << Variant(false) << "False" << ok;
        QTest::newRow("EMPTY") << Variant() << "" << ok;
        QTest::newRow("day") << date(2.0) << "1900-01-01" << ok;
        QTest::newRow("day and time") << date(2.5) << "1900-01-01 12:00:00" << ok;
        QTest::newRow("before the epoch") << date(-1.25) << "1899-12-29 06:00:00" << ok;
        QTest::newRow("date out of range") << date(1e300) << "" << hr::DISP_E_OVERFLOW;
        QTest::newRow("bytes") << Variant(QByteArray("abc")) << "abc" << ok;
        QTest::newRow("NULL") << Variant::null() << "" << hr::DISP_E_TYPEMISMATCH;
    }
    void toText() {
        QFETCH(Variant, value);
        QFETCH(QString, expected);
        QFETCH(HResult, failure);
        QString got;
        QCOMPARE(failureOf([&] { got = value.toText(); }), failure);
        if (failure == hr::S_OK)
            QCOMPARE(got, expected);
    }

    void toBool_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<HResult>("failure");
        const HResult ok = hr::S_OK;
        QTest::newRow("text true") << Variant(QStringLiteral("TRUE")) << true << ok;
        QTest::newRow("text false") << Variant(QStringLiteral(" false ")) << false << ok;
        QTest::newRow("text zero") << Variant(QStringLiteral("0")) << false << ok;
        QTest::newRow("text minus one") << Variant(QStringLiteral("-1")) << true << ok;
        QTest::newRow("text yes") << Variant(QStringLiteral("yes")) << false << hr::DISP_E_TYPEMISMATCH;
        QTest::newRow("integer") << Variant(2) << true << ok;
        QTest::newRow("zero double") << Variant(0.0) << false << ok;
        QTest::newRow("EMPTY") << Variant() << false << ok;
        QTest::newRow("NULL") << Variant::null() << false << hr::DISP_E_TYPEMISMATCH;
    }
    void toBool() {
        QFETCH(Variant, value);
        QFETCH(bool, expected);
        QFETCH(HResult, failure);
        bool got = !expected;
        QCOMPARE(failureOf([&] { got = value.toBool(); }), failure);
        if (failure == hr::S_OK)
            QCOMPARE(got, expected);
    }

    void toDate_data() {
        QTest::addColumn<Variant>("value");
        QTest::addColumn<QDateTime>("expected");
        QTest::addColumn<HResult>("failure");
        const HResult ok = hr::S_OK;
        const QDateTime none;
        QTest::newRow("ISO text") << Variant(QStringLiteral("2024-02-29 13:45:10"))
                                  << QDateTime(QDate(2024, 2, 29), QTime(13, 45, 10)) << ok;
        QTest::newRow("T text") << Variant(QStringLiteral("2001-12-31T23:59:59"))
                                << QDateTime(QDate(2001, 12, 31), QTime(23, 59, 59)) << ok;
        QTest::newRow("day number") << Variant(2) << QDateTime(QDate(1900, 1, 1), QTime(0, 0)) << ok;
        QTest::newRow("negative with time") << Variant(-1.25) << QDateTime(QDate(1899, 12, 29), QTime(6, 0)) << ok;
        QTest::newRow("last day") << Variant(2958465.0) << QDateTime(QDate(9999, 12, 31), QTime(0, 0)) << ok;
        QTest::newRow("after the last day") << Variant(2958466.0) << none << hr::DISP_E_OVERFLOW;
        QTest::newRow("huge") << Variant(1e300) << none << hr::DISP_E_OVERFLOW;
        QTest::newRow("huge text") << Variant(QStringLiteral("1e300")) << none << hr::DISP_E_OVERFLOW;
        QTest::newRow("garbage") << Variant(QStringLiteral("not a date")) << none << hr::DISP_E_TYPEMISMATCH;
        QTest::newRow("NULL") << Variant::null() << none << hr::DISP_E_TYPEMISMATCH;
    }
    void toDate() {
        QFETCH(Variant, value);
        QFETCH(QDateTime, expected);
        QFETCH(HResult, failure);
        QDateTime got;
        QCOMPARE(failureOf([&] { got = value.toDateTime(); }), failure);
        if (failure == hr::S_OK) {
            QCOMPARE(got, expected);
            // And back to the same day number.
            QCOMPARE(Variant::fromDateTime(got).toDateTime(), expected);
        }
    }

    void subtraction_data() {
        QTest::addColumn<Variant>("left");
        QTest::addColumn<Variant>("right");
        QTest::addColumn<Variant>("expected");
        QTest::newRow("text minus integer") << Variant(QStringLiteral("1")) << Variant(1) << Variant(0.0);
        QTest::newRow("integers") << Variant(5) << Variant(7) << Variant(-2);
        QTest::newRow("integer overflow widens")
            << Variant(std::numeric_limits<int32_t>::min()) << Variant(1) << Variant(-2147483649.0);
        QTest::newRow("boolean") << Variant(true) << Variant(1) << Variant(-2);
        QTest::newRow("date minus number") << date(45000.5) << Variant(1) << date(44999.5);
        QTest::newRow("date minus date") << date(45000.75) << date(45000.25) << Variant(0.5);
        QTest::newRow("NULL minus number") << Variant::null() << Variant(1) << Variant::null();
        QTest::newRow("number minus NULL") << Variant(1) << Variant::null() << Variant::null();
        QTest::newRow("NULL minus text") << Variant::null() << Variant(QStringLiteral("abc")) << Variant::null();
    }
    void subtraction() {
        QFETCH(Variant, left);
        QFETCH(Variant, right);
        QFETCH(Variant, expected);
        const Variant got = left - right;
        QVERIFY2(got == expected, qPrintable(got.debugText() + QStringLiteral(" != ") + expected.debugText()));
    }

    void subtractionOfTextThatIsNoNumberFails() {
        QCOMPARE(failureOf([] { return Variant(QStringLiteral("abc")) - Variant(1); }), hr::DISP_E_TYPEMISMATCH);
    }

    void byReferenceArguments() {
        Door door;
        DispId store = 0;
        QCOMPARE(door.getIdOfName(QStringLiteral("store"), store), hr::S_OK);
        const auto call = [&](Arguments& args) {
            Variant result;
            ErrorInfo error;
            return door.invoke(store, args, result, error);
        };

        // A typed int32 reference takes the callee's double rounded (banker's), as an Integer variable would.
        Variant count(int32_t(7));
        Arguments args{Argument::byRef(count, VarType::I4), Argument::byValue(Variant(2.5))};
        QCOMPARE(call(args), hr::S_OK);
        QCOMPARE(count, Variant(int32_t(2)));
        args = {Argument::byRef(count, VarType::I4), Argument::byValue(Variant(QStringLiteral("3.5")))};
        QCOMPARE(call(args), hr::S_OK);
        QCOMPARE(count, Variant(int32_t(4)));
        // A write that cannot become an integer fails the call and leaves the caller's variable alone.
        args = {Argument::byRef(count, VarType::I4), Argument::byValue(Variant(QStringLiteral("abc")))};
        QCOMPARE(call(args), hr::E_UNEXPECTED);
        QCOMPARE(count, Variant(int32_t(4)));

        // An untyped reference takes whatever was written; a by-value argument never reaches the caller.
        Variant any;
        args = {Argument::byRef(any), Argument::byValue(Variant(2.5))};
        QCOMPARE(call(args), hr::S_OK);
        QCOMPARE(any, Variant(2.5));
        Variant untouched(int32_t(1));
        args = {Argument::byValue(untouched), Argument::byValue(Variant(9))};
        QCOMPARE(call(args), hr::S_OK);
        QCOMPARE(untouched, Variant(int32_t(1)));
        QCOMPARE(args.at(0).value(), Variant(9));

        // The reference is coerced to its type when it is made.
        Variant text(QStringLiteral("12"));
        const Argument typed = Argument::byRef(text, VarType::I4);
        QVERIFY(typed.isByRef());
        QCOMPARE(text, Variant(int32_t(12)));
        Variant when(QStringLiteral("2020-01-02"));
        Argument::byRef(when, VarType::Date);
        QCOMPARE(when.type(), VarType::Date);
        QCOMPARE(when.toDateTime().date(), QDate(2020, 1, 2));
    }

    void invokeByNameIgnoresCase() {
        auto door = std::make_shared<Door>();
        const DispatchPtr object = door;
        for (const QString& name :
             {QStringLiteral("RmtOpenDoor"), QStringLiteral("rmtopendoor"), QStringLiteral("RMTOPENDOOR")}) {
            DispId id = -1;
            QCOMPARE(object->getIdOfName(name, id), hr::S_OK);
            QCOMPARE(id, 1);
            QCOMPARE(callMethod(Variant(object), name, {Argument::byValue(Variant(3))}), Variant(30));
        }
        DispId id = -1;
        QCOMPARE(object->getIdOfName(QStringLiteral("RmtOpenDoors"), id), hr::DISP_E_UNKNOWNNAME);
        QCOMPARE(failureOf([&] { callMethod(Variant(object), QStringLiteral("NoSuchMethod")); }),
                 hr::DISP_E_UNKNOWNNAME);
        Variant result;
        ErrorInfo error;
        Arguments none;
        QCOMPARE(object->invoke(999, none, result, error), hr::DISP_E_MEMBERNOTFOUND);
        // Any number of arguments where the member says so.
        QCOMPARE(callMethod(Variant(object), QStringLiteral("sum"),
                            {Argument::byValue(Variant(1)), Argument::byValue(Variant(QStringLiteral("2"))),
                             Argument::byValue(Variant(0.5))}),
                 Variant(3.5));
        QCOMPARE(callMethod(Variant(object), QStringLiteral("sum")), Variant(0.0));
        const auto members = object->members();
        QCOMPARE(members.first(), qMakePair(QStringLiteral("RmtOpenDoor"), DispId(1)));
        QCOMPARE(members.last().second, DispId(14));
        // Calls on no object fail like a call on an unassigned variable.
        QCOMPARE(failureOf([] { callMethod(Variant(), QStringLiteral("x")); }), hr::E_UNEXPECTED);
        Arguments args;
        QCOMPARE(failureOf([&] { callMethod(DispatchPtr(), QStringLiteral("x"), args); }), hr::E_UNEXPECTED);
    }

    void wrongParameterCounts() {
        auto door = std::make_shared<Door>();
        for (int count : {0, 2, 5}) {
            Arguments args(count, Argument::byValue(Variant(1)));
            Variant result(QStringLiteral("unchanged"));
            ErrorInfo error;
            QCOMPARE(door->invoke(1, args, result, error), hr::DISP_E_BADPARAMCOUNT);
            QVERIFY(!error.message.isEmpty());
            QCOMPARE(result, Variant(QStringLiteral("unchanged")));
        }
        QCOMPARE(door->calls, 0);
    }

    void exceptionsBecomeResults_data() {
        QTest::addColumn<QString>("member");
        QTest::addColumn<HResult>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("helpContext");
        QTest::newRow("own negative code")
            << "RaiseOwn" << static_cast<HResult>(0x80041234) << "controller refused" << 7;
        QTest::newRow("positive code") << "RaisePositive" << hr::E_UNEXPECTED << "odd code" << 0;
        QTest::newRow("standard exception") << "RaiseStd" << hr::E_UNEXPECTED << "disk on fire" << 0;
        QTest::newRow("anything else") << "RaiseOther" << hr::E_UNEXPECTED << "Unexpected failure" << 0;
        // Only the coercion before the body answers a type mismatch; a conversion the body makes fails it.
        QTest::newRow("conversion in the body")
            << "ConvertInside" << hr::E_UNEXPECTED << "Could not convert variant of type (String) into type (Integer)"
            << 0;
    }
    void exceptionsBecomeResults() {
        QFETCH(QString, member);
        QFETCH(HResult, code);
        QFETCH(QString, message);
        QFETCH(int, helpContext);
        auto door = std::make_shared<Door>();
        DispId id = 0;
        QCOMPARE(door->getIdOfName(member, id), hr::S_OK);
        Arguments args;
        Variant result;
        ErrorInfo error;
        QCOMPARE(door->invoke(id, args, result, error), code);
        QCOMPARE(error.message, message);
        QCOMPARE(error.helpContext, helpContext);
        // The caller's side turns the result back into an error with the same information.
        try {
            callMethod(Variant(DispatchPtr(door)), member);
            QFAIL("no failure");
        } catch (const AutomationError& e) {
            QCOMPARE(e.code(), code);
            QCOMPARE(e.message(), message);
            QCOMPARE(e.helpContext(), helpContext);
        }
        QCOMPARE(hresultText(hr::E_UNEXPECTED), QStringLiteral("0x8000FFFF"));
    }

    void layeredGuardAnswersItsOwnMethodBetweenBeginAndEnd_data() {
        QTest::addColumn<QString>("method");
        QTest::addColumn<bool>("loggedOn");
        QTest::addColumn<QString>("param");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("outcome"); // the echo, or the error's message; empty when not answered
        const QStringList answered = words({"begin Echo", "answer", "end"});
        QTest::newRow("own method") << "Echo" << true << "hi" << answered << "hi";
        QTest::newRow("own method, in another case")
            << "eCHO" << true << "hi" << words({"begin eCHO", "answer", "end"}) << "hi";
        // end() still pairs the begin() of an answer that fails.
        QTest::newRow("own method failing") << "Echo" << true << "fail" << answered << "asked to fail";
        // Refused by the inner guard: not answered, and nothing to end.
        QTest::newRow("before the log-on") << "Echo" << false << "hi" << words({"begin Echo"}) << "Log on first";
        QTest::newRow("another method") << "Logon" << false << "hi" << words({"inner Logon"}) << "";
    }
    void layeredGuardAnswersItsOwnMethodBetweenBeginAndEnd() {
        QFETCH(QString, method);
        QFETCH(bool, loggedOn);
        QFETCH(QString, param);
        QFETCH(QStringList, log);
        QFETCH(QString, outcome);
        const auto written = std::make_shared<QStringList>();
        int made = 0;
        const rpc::GuardFactory factory = rpc::layeredFactory<EchoGuard>(
            [&]() -> std::unique_ptr<rpc::ConnectionGuard> {
                ++made;
                return std::make_unique<RecordingGuard>(written, loggedOn);
            },
            written);
        const std::unique_ptr<rpc::ConnectionGuard> guard = factory();
        QCOMPARE(made, 1);
        QString seen;
        try {
            const std::optional<QJsonObject> result = guard->handle(method, param);
            seen = result ? result->value(QStringLiteral("echo")).toString() : QString();
        } catch (const AutomationError& e) {
            seen = e.message();
        }
        QCOMPARE(seen, outcome);
        QCOMPARE(*written, log);
        // Without an inner factory the guard stands alone: nothing refuses its own method.
        const std::unique_ptr<rpc::ConnectionGuard> alone = rpc::layeredFactory<EchoGuard>(nullptr, written)();
        const QJsonObject echo{{QStringLiteral("echo"), QStringLiteral("x")}};
        QCOMPARE(alone->handle(QStringLiteral("Echo"), QStringLiteral("x")), std::optional<QJsonObject>(echo));
    }

    // A relay's look at a request without building it answers as a whole parse does, for every line:
    // the same head, or the same error reply; a line the one pass cannot vouch for is parsed whole.
    void requestHeadAsWhole_data() {
        QTest::addColumn<QByteArray>("line");
        const auto row = [](const char* name, QByteArray line) { QTest::newRow(name) << line; };
        row("plain",
            "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Open\",\"params\":{\"a\":[1,-2.5,{\"b\":null}],\"t\":true}}");
        row("spaces and line ends", " \t{ \"id\" :\r\n 7 , \"method\" : \"M\" , \"params\" : [ ] }\r ");
        row("notification, no params", "{\"method\":\"Ping\"}");
        row("id a text with escapes", "{\"id\":\"\\u00e9\\n\\\"\\\\\\/\",\"method\":\"M\"}");
        row("id zero and negative", "{\"id\":-0,\"method\":\"M\",\"params\":[0,-0.0]}");
        row("long number", "{\"id\":12345678901234567890,\"method\":\"M\"}");
        row("exponent", "{\"id\":1e3,\"method\":\"M\",\"params\":[1E-999]}");
        row("id true", "{\"id\":true,\"method\":\"M\"}");
        row("id an object", "{\"id\":{},\"method\":\"M\"}");
        row("jsonrpc 1.0", "{\"jsonrpc\":\"1.0\",\"id\":3,\"method\":\"M\"}");
        row("no method", "{\"id\":3}");
        row("empty method", "{\"id\":3,\"method\":\"\"}");
        row("method a number", "{\"id\":3,\"method\":5}");
        row("params a text", "{\"id\":3,\"method\":\"M\",\"params\":\"x\"}");
        row("params a number", "{\"id\":3,\"method\":\"M\",\"params\":5}");
        row("method twice", "{\"method\":\"A\",\"id\":1,\"method\":\"B\"}");
        row("escaped name", "{\"\\u0069d\":7,\"method\":\"M\"}");
        row("id only inside params", "{\"method\":\"M\",\"params\":{\"id\":5,\"method\":\"N\"}}");
        row("tab in a text", "{\"id\":\"a\tb\",\"method\":\"M\"}");
        row("bad UTF-8", "{\"id\":\"\xC3\x28\",\"method\":\"M\"}");
        row("overlong UTF-8", "{\"id\":\"\xC0\xAF\",\"method\":\"M\"}");
        row("noncharacter", "{\"id\":\"\xEF\xBF\xBF\",\"method\":\"M\"}");
        row("UTF-8 of a surrogate", "{\"id\":\"\xED\xA0\x80\",\"method\":\"M\"}");
        row("four-byte UTF-8 and CJK", "{\"id\":\"\xF0\x9F\x98\x80\",\"method\":\"\xE9\x96\x8B\xE9\x96\x80\"}");
        row("lone surrogate escape", "{\"id\":\"\\ud800\",\"method\":\"M\"}");
        row("surrogate pair escape", "{\"id\":\"\\ud83d\\ude00\",\"method\":\"M\"}");
        row("bad escape", "{\"id\":\"\\x41\",\"method\":\"M\"}");
        row("nested deep", "{\"method\":\"M\",\"params\":" + QByteArray(200, '[') + QByteArray(200, ']') + "}");
        row("garbage after", "{\"method\":\"M\"} x");
        row("two objects", "{\"method\":\"M\"}{}");
        row("an array", "[{\"method\":\"M\"}]");
        row("empty", "");
        row("byte-order mark", "\xEF\xBB\xBF{\"method\":\"M\"}");
        row("cut short", "{\"method\":\"M\",\"params\":{\"a\":");
        row("leading zero", "{\"method\":\"M\",\"params\":[01]}");
        row("bare point", "{\"method\":\"M\",\"params\":[1.]}");
        row("bare minus", "{\"method\":\"M\",\"params\":[-]}");
        row("broken literal", "{\"method\":\"M\",\"params\":[tru]}");
        row("trailing comma", "{\"method\":\"M\",\"params\":[1,],}");
        row("missing colon", "{\"method\" \"M\"}");
        row("NUL escape", "{\"id\":\"a\\u0000b\",\"method\":\"M\"}");
    }
    void requestHeadAsWhole() {
        QFETCH(QByteArray, line);
        const auto seen = [](const std::optional<rpc::RequestHead>& head, const QByteArray& reply) {
            if (!head)
                return QJsonObject{{QStringLiteral("reply"), QString::fromUtf8(reply)}};
            return QJsonObject{
                {QStringLiteral("id"), head->notification() ? QJsonValue(QStringLiteral("none")) : head->id},
                {QStringLiteral("method"), head->method},
                {QStringLiteral("params"), head->params},
                {QStringLiteral("omitted"), head->paramsOmitted}};
        };
        QByteArray wholeReply, headReply;
        const auto whole = rpc::parseRequest(line, &wholeReply);
        // Just under the line's length: the line is looked at in one pass, and its params, shorter than the
        // line, are kept.
        const auto head = rpc::parseRequestHead(line, &headReply, line.size() - 1);
        QCOMPARE(seen(head, headReply), seen(whole, wholeReply));
        // Params past the limit are left out, as an empty value of their kind.
        const auto small = rpc::parseRequestHead(line, &headReply, 2);
        QCOMPARE(bool(small), bool(whole));
        if (small && small->paramsOmitted) {
            QCOMPARE(small->method, whole->method);
            QVERIFY(small->params.isObject() ? whole->params.isObject() : whole->params.isArray());
            QVERIFY(small->params.isObject() ? small->params.toObject().isEmpty() : small->params.toArray().isEmpty());
        }
        // On one line for the application server, the same request.
        if (whole) {
            const QByteArray one = rpc::requestOnOneLine(line);
            QVERIFY(!one.contains('\n') && !one.contains('\r'));
            QCOMPARE(QJsonDocument::fromJson(one), QJsonDocument::fromJson(line));
        }
    }

    void createsInProcessObjectsThroughTheRegistry() {
        TestEnvironment env;
        registerComponent(kComponentClsid, kComponent);
        QCOMPARE(clsidFromProgId(QStringLiteral("morvanetest.calculator")), kComponentClsid);
        for (const QString& name : {QStringLiteral("MorvaneTest.Calculator"), kComponentClsid.toLower()}) {
            const DispatchPtr object = createObject(name);
            QVERIFY(object);
            Variant calculator(object);
            QCOMPARE(callMethod(calculator, QStringLiteral("add"),
                                {Argument::byValue(Variant(2)), Argument::byValue(Variant(3))}),
                     Variant(5));
            Variant half(int32_t(5));
            callMethod(calculator, QStringLiteral("Halve"), {Argument::byRef(half, VarType::I4)});
            QCOMPARE(half, Variant(int32_t(2)));
            try {
                callMethod(calculator, QStringLiteral("Fail"));
                QFAIL("no failure");
            } catch (const AutomationError& e) {
                QCOMPARE(e.code(), hr::E_UNEXPECTED);
                QCOMPARE(e.message(), QStringLiteral("component failed"));
            }
        }
    }

    void creationFailures_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("library");
        QTest::addColumn<HResult>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown ProgID") << "No.Such.Class"
                                        << "" << hr::CO_E_CLASSSTRING << "Invalid class string";
        QTest::newRow("malformed CLSID") << "{6A1F2E30}"
                                         << "" << hr::CO_E_CLASSSTRING << "Invalid class string";
        QTest::newRow("CLSID reaching into a sub-key") << "{6A1F2E30-5B7C-4D21-9E0A-3C4B5D6E7F80}\\InprocServer32"
                                                       << "" << hr::CO_E_CLASSSTRING << "Invalid class string";
        QTest::newRow("ProgID reaching into a sub-key") << "CLSID\\{6A1F2E30-5B7C-4D21-9E0A-3C4B5D6E7F80}"
                                                        << "" << hr::CO_E_CLASSSTRING << "Invalid class string";
        QTest::newRow("empty name") << "  "
                                    << "" << hr::CO_E_CLASSSTRING << "Invalid class string";
        QTest::newRow("registered CLSID not a GUID") << "MorvaneTest.Broken"
                                                     << "" << hr::CO_E_CLASSSTRING << "Invalid class string";
        QTest::newRow("unknown CLSID") << "{00000000-0000-0000-0000-000000000001}"
                                       << "" << hr::REGDB_E_CLASSNOTREG << "Class not registered";
        QTest::newRow("ProgID without its class") << "MorvaneTest.Calculator"
                                                  << "" << hr::REGDB_E_CLASSNOTREG << "Class not registered";
        QTest::newRow("library missing") << "MorvaneTest.Calculator"
                                         << "/nonexistent/lib.so" << hr::CO_E_DLLNOTFOUND << "";
        QTest::newRow("library without a factory") << "MorvaneTest.Calculator"
                                                   << "libm.so.6" << hr::REGDB_E_CLASSNOTREG << "";
    }
    void creationFailures() {
        QFETCH(QString, name);
        QFETCH(QString, library);
        QFETCH(HResult, code);
        QFETCH(QString, message);
        TestEnvironment env;
        ClassRegistry registry;
        QVERIFY(registry.setValue(QStringLiteral("MorvaneTest.Calculator\\CLSID"), {}, kComponentClsid));
        QVERIFY(registry.setValue(QStringLiteral("MorvaneTest.Broken\\CLSID"), {}, QStringLiteral("..\\x")));
        if (!library.isEmpty())
            registerComponent(kComponentClsid, library);
        try {
            createObject(name);
            QFAIL("an object was made");
        } catch (const AutomationError& e) {
            QCOMPARE(e.code(), code);
            if (!message.isEmpty())
                QCOMPARE(e.message(), message);
        }
    }

    void libraryThatKnowsAnotherClassRefuses() {
        TestEnvironment env;
        const QString other = QStringLiteral("{99999999-8888-7777-6666-555555555555}");
        registerComponent(other, kComponent);
        try {
            createObject(other);
            QFAIL("an object was made");
        } catch (const AutomationError& e) {
            QCOMPARE(e.code(), hr::REGDB_E_CLASSNOTREG);
            QCOMPARE(e.message(), QStringLiteral("Class not registered"));
        }
        // A class served only by another program is not started from here.
        ClassRegistry registry;
        QVERIFY(
            registry.setValue(QStringLiteral("CLSID\\") + other + QStringLiteral("\\InprocServer32"), {}, QString()));
        QVERIFY(registry.setValue(QStringLiteral("CLSID\\") + other + QStringLiteral("\\LocalServer32"), {},
                                  QStringLiteral("/usr/bin/other")));
        QCOMPARE(failureOf([&] { createObject(other); }), hr::CO_E_SERVER_EXEC_FAILURE);
    }

    void startSwitches_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<StartSwitch>("expected");
        QTest::newRow("none") << QStringList{} << StartSwitch::None;
        QTest::newRow("dash small") << words({"-regserver"}) << StartSwitch::RegServer;
        QTest::newRow("slash mixed") << words({"/RegServer"}) << StartSwitch::RegServer;
        QTest::newRow("unregister") << words({"/UNREGSERVER"}) << StartSwitch::UnregServer;
        QTest::newRow("automation") << words({"-Automation"}) << StartSwitch::Automation;
        QTest::newRow("embedding") << words({"/embedding"}) << StartSwitch::Embedding;
        QTest::newRow("after other arguments") << words({"file.txt", "-x", "/Embedding"}) << StartSwitch::Embedding;
        QTest::newRow("first one wins") << words({"/unregserver", "/regserver"}) << StartSwitch::UnregServer;
        QTest::newRow("no prefix") << words({"regserver"}) << StartSwitch::None;
        QTest::newRow("double dash") << words({"--regserver"}) << StartSwitch::None;
        QTest::newRow("longer word") << words({"-regserverx"}) << StartSwitch::None;
        QTest::newRow("prefix alone") << words({"/", "-"}) << StartSwitch::None;
        QTest::newRow("backslash") << words({"\\regserver"}) << StartSwitch::None;
    }
    void startSwitches() {
        QFETCH(QStringList, arguments);
        QFETCH(StartSwitch, expected);
        QCOMPARE(findStartSwitch(arguments), expected);
    }

    void registrationWritesAndRemovesItsEntries() {
        TestEnvironment env;
        ClassRegistry registry;
        // Entries of others, and the root's own value, must survive both directions.
        QVERIFY(registry.setValue(QStringLiteral("Other.Class\\CLSID"), {}, QStringLiteral("{OTHER}")));
        QVERIFY(registry.setValue(QString(), {}, QStringLiteral("root value")));
        QVERIFY(registry.setValue(QStringLiteral("CLSID"), {}, QStringLiteral("clsid root")));
        const QString command = QStringLiteral("/opt/morvane/morvane");
        QString error;
        QVERIFY2(ComServer::instance().registerServer(command, &error), qPrintable(error));

        const QString key = QStringLiteral("CLSID\\") + kServedClsid;
        QCOMPARE(registry.value(key), QStringLiteral("Served test class"));
        QCOMPARE(registry.value(key + QStringLiteral("\\ProgID")), QStringLiteral("MorvaneTest.Served"));
        QCOMPARE(registry.value(key + QStringLiteral("\\LocalServer32")), command);
        QCOMPARE(registry.value(key + QStringLiteral("\\LocalServer32"), QStringLiteral("ThreadingModel")),
                 QStringLiteral("Free"));
        QCOMPARE(registry.value(key + QStringLiteral("\\TypeLib")),
                 QStringLiteral("{11112222-3333-4444-5555-666677778888}"));
        QCOMPARE(registry.value(key + QStringLiteral("\\Version")), QStringLiteral("1.0"));
        QVERIFY(registry.keyExists(key +
                                   QStringLiteral("\\Implemented Categories\\{40FC6ED4-2438-11CF-A3DB-080036F12502}")));
        QCOMPARE(registry.value(key, QStringLiteral("Sockets")), QStringLiteral("1"));
        QCOMPARE(registry.value(QStringLiteral("MorvaneTest.Served")), QStringLiteral("Served test class"));
        QCOMPARE(registry.value(QStringLiteral("MorvaneTest.Served\\CLSID")), kServedClsid);
        // The class without a ProgID is registered by CLSID and writes nothing into the root.
        QCOMPARE(registry.value(QStringLiteral("CLSID\\") + kBareClsid), QStringLiteral("Class without a ProgID"));
        QCOMPARE(registry.value(QString()), QStringLiteral("root value"));
        QCOMPARE(registry.value(QStringLiteral("CLSID")), QStringLiteral("clsid root"));
        QCOMPARE(clsidFromProgId(QStringLiteral("MorvaneTest.Served")), kServedClsid);

        QVERIFY2(ComServer::instance().unregisterServer(&error), qPrintable(error));
        QVERIFY(!registry.keyExists(key));
        QVERIFY(!registry.keyExists(QStringLiteral("CLSID\\") + kBareClsid));
        QVERIFY(!registry.keyExists(QStringLiteral("MorvaneTest.Served")));
        QCOMPARE(registry.value(QStringLiteral("Other.Class\\CLSID")), QStringLiteral("{OTHER}"));
        QCOMPARE(registry.value(QString()), QStringLiteral("root value"));
        QCOMPARE(registry.value(QStringLiteral("CLSID")), QStringLiteral("clsid root"));

        // A ProgID that another server took over since stays with that server.
        QVERIFY(ComServer::instance().registerServer(command));
        QVERIFY(registry.setValue(QStringLiteral("MorvaneTest.Served\\CLSID"), {}, QStringLiteral("{NEWER}")));
        QVERIFY(ComServer::instance().unregisterServer());
        QCOMPARE(registry.value(QStringLiteral("MorvaneTest.Served\\CLSID")), QStringLiteral("{NEWER}"));
        QVERIFY(!registry.keyExists(key));
    }

    void initialiseActsOnTheSwitches() {
        TestEnvironment env;
        ClassRegistry registry;
        const QString key = QStringLiteral("CLSID\\") + kServedClsid;
        QString error;
        QCOMPARE(ComServer::instance().initialise({QStringLiteral("-RegServer")}, QStringLiteral("cmd"), &error),
                 ComServer::Outcome::ExitSuccess);
        QVERIFY(registry.keyExists(key));
        QCOMPARE(ComServer::instance().initialise({QStringLiteral("/unregserver")}, QStringLiteral("cmd"), &error),
                 ComServer::Outcome::ExitSuccess);
        QVERIFY(!registry.keyExists(key));
        QVERIFY(!ComServer::instance().startedForClient());
        QCOMPARE(ComServer::instance().initialise({}, QStringLiteral("cmd"), &error), ComServer::Outcome::Continue);
        QVERIFY(registry.keyExists(key));
        QVERIFY(!ComServer::instance().startedForClient());

        // With a registry it cannot read: registering fails, a normal start goes on all the same.
        QFile file(env.registryPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("not a registry");
        file.close();
        error.clear();
        QCOMPARE(ComServer::instance().initialise({QStringLiteral("/regserver")}, QStringLiteral("cmd"), &error),
                 ComServer::Outcome::ExitFailure);
        QVERIFY(!error.isEmpty());
        QCOMPARE(ComServer::instance().initialise({QStringLiteral("-Embedding")}, QStringLiteral("cmd"), &error),
                 ComServer::Outcome::Continue);
        QVERIFY(ComServer::instance().startedForClient());
    }

    void objectsAreCountedUntilTheLastRelease() {
        ComServer& server = ComServer::instance();
        std::atomic<int> lastReleased{0};
        server.setLastReleasedHandler([&] { ++lastReleased; });
        QCOMPARE(server.objectCount(), 0);
        QVERIFY(!server.createInstance(QStringLiteral("{00000000-0000-0000-0000-00000000ABCD}")));

        DispatchPtr first = server.createInstance(QStringLiteral("morvanetest.served"));
        QVERIFY(first);
        DispatchPtr copy = first;
        DispatchPtr second = createObject(kServedClsid.toLower()); // served classes come before the registry
        QCOMPARE(server.objectCount(), 2);
        QCOMPARE(callMethod(Variant(second), QStringLiteral("RmtOpenDoor"), {Argument::byValue(Variant(4))}),
                 Variant(40));

        // Many clients on many threads come and go while one object stays: no last release yet.
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t) {
            clients.emplace_back([&server] {
                for (int i = 0; i < 200; ++i) {
                    DispatchPtr object = server.createInstance(QStringLiteral("MorvaneTest.Served"));
                    Arguments args{Argument::byValue(Variant(i))};
                    callMethod(object, QStringLiteral("RmtOpenDoor"), args);
                }
            });
        }
        for (auto& client : clients)
            client.join();
        QCOMPARE(server.objectCount(), 2);
        QCOMPARE(lastReleased.load(), 0);

        first.reset();
        QCOMPARE(server.objectCount(), 2);
        copy.reset();
        QCOMPARE(server.objectCount(), 1);
        QCOMPARE(lastReleased.load(), 0);
        second.reset();
        QCOMPARE(server.objectCount(), 0);
        QCOMPARE(lastReleased.load(), 1);
        server.setLastReleasedHandler(nullptr);
    }

    // An endpoint told to end when idle ends only once no connection is open and no object is alive, and
    // stops accepting before it says so: a client that got an object never shares it with an ending
    // server; a later one finds no server, or is dropped unanswered.
    void endpointEndsOnlyWhenIdle() {
        TestEnvironment env;
        ComServer& server = ComServer::instance();
        const QString path = endpointPath(kServedClsid);
        AutomationEndpoint endpoint([&server](const QString& name) { return server.createInstance(name); });
        std::atomic<int> ended{0};
        QVERIFY(endpoint.listen(path));
        endpoint.endWhenIdle([&server] { return server.objectCount() > 0; }, [&ended] { ++ended; }, 60000);
        server.setLastReleasedHandler([&endpoint] { endpoint.checkIdle(); });
        endpoint.start();
        const QJsonObject create{{QStringLiteral("clsid"), kServedClsid}};
        const auto connectClient = [&path]() -> std::unique_ptr<rpc::Client> {
            const int fd = connectEndpoint(path);
            return fd < 0 ? nullptr : std::make_unique<rpc::Client>(std::make_unique<rpc::SocketLineChannel>(fd));
        };
        auto anchor = connectClient();
        QVERIFY(anchor && anchor->call(rpc::kCreateObject, create).ok);

        // Clients come and go on several threads; the anchor goes among them.
        std::atomic<int> wrong{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t) {
            clients.emplace_back([&] {
                for (int i = 0; i < 300; ++i) {
                    auto client = connectClient();
                    if (!client)
                        return; // the endpoint has gone
                    const rpc::Reply made = client->call(rpc::kCreateObject, create);
                    if (!made.ok) {
                        wrong += made.hresult == hr::RPC_E_DISCONNECTED ? 0 : 1;
                        return;
                    }
                    const bool kept = client->call(QStringLiteral("RmtOpenDoor"), QJsonArray{i}).ok;
                    wrong += kept && ended.load() == 0 ? 0 : 1;
                }
            });
        }
        anchor.reset();
        for (std::thread& client : clients)
            client.join();
        QCOMPARE(wrong.load(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ended.load(), 1, 5000);
        QVERIFY(!QFile::exists(path));
        QVERIFY(connectEndpoint(path) < 0);
        server.setLastReleasedHandler(nullptr);
        endpoint.stop();
        QCOMPARE(ended.load(), 1);
        QCOMPARE(server.objectCount(), 0);
    }

    // The endpoint is the server user's own. The server does not take over a socket file of another user,
    // nor remove what a link points at; a caller does not talk to a process of another user listening
    // there, and is told so at once instead of waiting for a server that it would not start.
    void endpointOfAnotherUserIsRefused_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("socket file of another user") << "foreign socket";
        QTest::newRow("a link at the endpoint") << "link";
        QTest::newRow("a listener of another user") << "foreign listener";
    }
    void endpointOfAnotherUserIsRefused() {
        QFETCH(QString, what);
        if (what.startsWith(QLatin1String("foreign")) && ::geteuid() != 0)
            QSKIP("a file or process of another user needs root");
#ifdef MORVANE_UNDER_TSAN
        if (what == QLatin1String("foreign listener"))
            QSKIP("the thread sanitizer cannot fork this process");
#endif
        TestEnvironment env;
        const QString path = endpointPath(kServedClsid);
        const QString target = env.path(QStringLiteral("elsewhere"));
        std::optional<morvane::test::ForeignListener> foreign;
        if (what == QLatin1String("link")) {
            env.writeFile(target, "kept");
            QVERIFY(QFile::link(target, path));
        } else {
            foreign.emplace(path);
            QVERIFY(foreign->listening());
        }
        AutomationEndpoint endpoint([](const QString& name) { return ComServer::instance().createInstance(name); });
        QString error;
        if (what != QLatin1String("foreign listener")) {
            QVERIFY(!endpoint.listen(path, &error));
            QVERIFY2(error.contains(path), qPrintable(error));
            QVERIFY2(
                error.contains(what == QLatin1String("link") ? QStringLiteral("link") : QStringLiteral("uid 65534")),
                qPrintable(error));
            QVERIFY(QFileInfo(path).isSymLink() || QFileInfo(path).exists());
            QCOMPARE(env.readFile(target), what == QLatin1String("link") ? QByteArray("kept") : QByteArray());
        } else {
            QCOMPARE(connectEndpoint(path, &error), -1);
            QVERIFY2(error.contains(path) && error.contains(QLatin1String("uid 65534")), qPrintable(error));
            QElapsedTimer clock;
            clock.start();
            error.clear();
            QCOMPARE(connectClassServer(kServedClsid, QStringLiteral("/bin/false"), 10000, &error), -1);
            // Refused when seen, not after the 10 s given for a server to come: the margin is for a busy machine.
            QVERIFY2(clock.elapsed() < 8000 && error.contains(QLatin1String("uid 65534")), qPrintable(error));
        }
        if (foreign)
            QCOMPARE(foreign->finish(), 0);
    }

    // A call runs on behalf of its connection: when the client goes while it runs, the call is told at
    // once; and stopping the endpoint does not wait for a call that would run on.
    void endpointCancelsTheCallOfAClientThatLeft() {
        TestEnvironment env;
        ComServer& server = ComServer::instance();
        const int objects = server.objectCount();
        const QString path = endpointPath(kServedClsid);
        AutomationEndpoint endpoint([&server](const QString& name) { return server.createInstance(name); });
        QVERIFY(endpoint.listen(path));
        endpoint.start();
        const auto waitingClient = [&path] {
            auto client = std::make_unique<morvane::test::LineConnection>(connectEndpoint(path));
            client->send(
                morvane::test::request(1, rpc::kCreateObject, QJsonObject{{QStringLiteral("clsid"), kServedClsid}}));
            const auto made = client->reply(1, 5000);
            client->send(morvane::test::request(2, QStringLiteral("WaitForCancel")));
            return made && made->contains(QStringLiteral("result")) ? std::move(client) : nullptr;
        };
        g_waiting = 0;
        g_cancelled = 0;
        auto client = waitingClient();
        QVERIFY(client);
        QTRY_COMPARE_WITH_TIMEOUT(g_waiting.load(), 1, 5000);
        client.reset();
        QTRY_COMPARE_WITH_TIMEOUT(g_cancelled.load(), 1, 1000);

        client = waitingClient();
        QVERIFY(client);
        QTRY_COMPARE_WITH_TIMEOUT(g_waiting.load(), 2, 5000);
        QElapsedTimer clock;
        clock.start();
        endpoint.stop();
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(g_cancelled.load(), 2);
        QCOMPARE(server.objectCount(), objects);
    }

    // Idle connections, each with its object, cost the server no thread each.
    void endpointHoldsIdleConnectionsWithoutAThreadEach() {
        TestEnvironment env;
        ComServer& server = ComServer::instance();
        const int objects = server.objectCount();
        const QString path = endpointPath(kServedClsid);
        AutomationEndpoint endpoint([&server](const QString& name) { return server.createInstance(name); });
        QVERIFY(endpoint.listen(path));
        endpoint.start();
        const auto threads = [] {
            return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
        };
        const qsizetype before = threads();
        std::vector<std::unique_ptr<rpc::Client>> clients;
        for (int i = 0; i < 200; ++i) {
            const int fd = connectEndpoint(path);
            QVERIFY(fd >= 0);
            clients.push_back(std::make_unique<rpc::Client>(std::make_unique<rpc::SocketLineChannel>(fd)));
            QVERIFY(clients.back()->call(rpc::kCreateObject, QJsonObject{{QStringLiteral("clsid"), kServedClsid}}).ok);
        }
        const qsizetype during = threads();
        qInfo("%lld threads before, %lld with 200 idle connections", qlonglong(before), qlonglong(during));
        QVERIFY2(during - before <= 12, qPrintable(QString::number(during - before)));
        QCOMPARE(
            clients.front()->call(QStringLiteral("RmtOpenDoor"), QJsonArray{3}).result.value(QStringLiteral("retval")),
            QJsonValue(30));
        QCOMPARE(endpoint.connectionCount(), 200);
        clients.clear();
        QTRY_COMPARE_WITH_TIMEOUT(endpoint.connectionCount(), 0, 5000);
        QCOMPARE(server.objectCount(), objects);
        endpoint.stop();
    }

    // Replies that a client does not read are bounded: once they pass the bound the endpoint takes none of
    // its further requests, and closes the connection when they have not drained in time, releasing its
    // object. A client that reads gets every reply, in order, however many it asked for at once.
    void endpointBoundsUnreadReplies() {
        TestEnvironment env;
        ComServer& server = ComServer::instance();
        const int objects = server.objectCount();
        const QString path = endpointPath(kServedClsid);
        EndpointLimits limits;
        limits.outputBound = 2 * 1024 * 1024;
        limits.drainTimeout = std::chrono::milliseconds(1000);
        AutomationEndpoint endpoint([&server](const QString& name) { return server.createInstance(name); },
                                    rpc::kDefaultMaxMessage, limits);
        QVERIFY(endpoint.listen(path));
        endpoint.start();
        const QJsonObject create{{QStringLiteral("clsid"), kServedClsid}};
        using morvane::test::request;

        morvane::test::LineConnection reader(connectEndpoint(path));
        QVERIFY(reader.send(request(1, rpc::kCreateObject, create)));
        for (int id = 2; id < 22; ++id)
            QVERIFY(reader.send(request(id, QStringLiteral("Big"))));
        for (int id = 1; id < 22; ++id)
            QVERIFY2(reader.reply(id, 5000), qPrintable(QString::number(id)));

        morvane::test::LineConnection stalled(connectEndpoint(path));
        QVERIFY(stalled.send(request(1, rpc::kCreateObject, create)));
        QVERIFY(stalled.reply(1, 5000));
        g_bigCalls = 0;
        for (int id = 2; id < 102; ++id)
            QVERIFY(stalled.send(request(id, QStringLiteral("Big"))));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(stalled.waitHangUp(10000));
        qInfo("closed %lld ms after its requests, having run %d of 100", clock.elapsed(), g_bigCalls.load());
        // The bound, one reply more, and what the socket itself holds.
        QVERIFY2(g_bigCalls.load() <= 6, qPrintable(QString::number(g_bigCalls.load())));
        QTRY_COMPARE_WITH_TIMEOUT(endpoint.connectionCount(), 1, 5000);
        reader.close();
        QTRY_COMPARE_WITH_TIMEOUT(endpoint.connectionCount(), 0, 5000);
        QCOMPARE(server.objectCount(), objects);
        endpoint.stop();
    }
};

QTEST_GUILESS_MAIN(TestAutomation)
#include "tst_automation.moc"
