// Exported entry points: create, create_dbg, destroy, get_config, null arguments, message
// delivery through KLogger, and the exception guard around model calls.
#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fir.h"
#include "fir_guard.h"
#include "fir_message_log.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

namespace {

kip_fir_v6_3_config defaults()
{
    kip_fir_v6_3_config c;
    kip_fir_v6_3_default_config(&c);
    return c;
}

// ---------------------------------------------------------------- lifecycle

TEST(Entry, CreateDefaultAndReadBack)
{
    FirMessageLog log;
    const kip_fir_v6_3_config c = defaults();
    kip_fir_v6_3* m = kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(log.messages.empty()); // debug notes are dropped without create_dbg
    kip_fir_v6_3_config out;
    ASSERT_EQ(kip_fir_v6_3_get_config(m, &out), 0);
    EXPECT_STREQ(out.name, "tapforge_v6_3");
    EXPECT_NE(out.name, c.name);
    EXPECT_EQ(out.coeff, nullptr);
    EXPECT_EQ(out.output_width, 24);
    EXPECT_EQ(out.output_fract_width, 0);
    EXPECT_EQ(out.num_coeffs, 21);
    EXPECT_EQ(kip_fir_v6_3_destroy(m), 0);
    EXPECT_TRUE(log.messages.empty());
}

TEST(Entry, NullArgumentsAreRefusedSilently)
{
    FirMessageLog log;
    EXPECT_EQ(kip_fir_v6_3_create(nullptr, &FirMessageLog::record_message, &log), nullptr);
    EXPECT_EQ(kip_fir_v6_3_create_dbg(nullptr, &FirMessageLog::record_message, &log,
                  &FirMessageLog::record_message, &log),
        nullptr);
    EXPECT_EQ(kip_fir_v6_3_destroy(nullptr), 1);
    kip_fir_v6_3_config out;
    EXPECT_EQ(kip_fir_v6_3_get_config(nullptr, &out), 1);
    const kip_fir_v6_3_config c = defaults();
    kip_fir_v6_3* m = kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(kip_fir_v6_3_get_config(m, nullptr), 1);
    EXPECT_TRUE(log.messages.empty());
    kip_fir_v6_3_destroy(m);
}

TEST(Entry, DebugNotesGoToTheDebugHandler)
{
    FirMessageLog log, dbg;
    kip_fir_v6_3_config c = defaults();
    c.name = "f1";
    kip_fir_v6_3* m = kip_fir_v6_3_create_dbg(
        &c, &FirMessageLog::record_message, &log, &FirMessageLog::record_message, &dbg);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(log.messages.empty());
    ASSERT_EQ(dbg.messages.size(), 6u + 21u); // then one note per quantised tap
    EXPECT_EQ(dbg.messages[0], (FirMessage { 0, "f1 NOTE: Passed basic checks" }));
    EXPECT_EQ(dbg.messages[2], (FirMessage { 0, "f1 NOTE: Calculated accumulator width: 24" }));
    EXPECT_EQ(dbg.messages[6], (FirMessage { 0, "f1 NOTE:  Coeff[0] : 6" }));
    kip_fir_v6_3_config out;
    kip_fir_v6_3_get_config(m, &out);
    EXPECT_STREQ(out.name, "f1");
    kip_fir_v6_3_destroy(m);
}

TEST(Entry, WarningsDuringCreationCarryThePrefix)
{
    FirMessageLog log;
    kip_fir_v6_3_config c = defaults();
    c.name = "wide";
    c.reloadable = 1;
    c.coeff_width = 40; // 40 + 16 + 5 bits: integer mode
    kip_fir_v6_3* m = kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0], (FirMessage { 0, "wide WARNING: Model will use MPZ data type" }));
    kip_fir_v6_3_destroy(m);
}

TEST(Entry, CreationFailureTextHasNoPrefix)
{
    FirMessageLog log, dbg;
    kip_fir_v6_3_config c = defaults();
    c.filter_type = 5;
    EXPECT_EQ(kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log), nullptr);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0], (FirMessage { 1, "Invalid filter type" }));
    EXPECT_EQ(kip_fir_v6_3_create(&c, nullptr, nullptr), nullptr); // silent

    // With create_dbg the failure still goes to the message handler; notes made before the
    // failure reach the debug handler.
    log.messages.clear();
    c = defaults();
    c.output_rounding = 1;
    c.output_width = 30;
    EXPECT_EQ(kip_fir_v6_3_create_dbg(
                  &c, &FirMessageLog::record_message, &log, &FirMessageLog::record_message, &dbg),
        nullptr);
    EXPECT_EQ(log.messages, (std::vector<FirMessage> { { 1, "Invalid output width" } }));
    EXPECT_EQ(dbg.texts(),
        (std::vector<std::string> {
            "tapforge_v6_3 NOTE: Passed basic checks", "tapforge_v6_3 NOTE: Max coeff sum: 252" }));

    // Exceptions of the quantisation contexts are reported the same way.
    log.messages.clear();
    c = defaults();
    c.coeff_width = 0;
    EXPECT_EQ(kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log), nullptr);
    EXPECT_EQ(log.messages, (std::vector<FirMessage> { { 1, "Bad format specified (IFIX_0_0)" } }));
}

TEST(Entry, NullNameIsRefusedWithAMessage)
{
    FirMessageLog log;
    kip_fir_v6_3_config c = defaults();
    c.name = nullptr;
    EXPECT_EQ(kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log), nullptr);
    EXPECT_EQ(log.messages, (std::vector<FirMessage> { { 1, "Instance name must not be null" } }));
    EXPECT_EQ(kip_fir_v6_3_create(&c, nullptr, nullptr), nullptr);
}

void throwing_handler(void*, int32_t, const char*) { throw std::runtime_error("handler failed"); }

TEST(Entry, ThrowingHandlerDoesNotEscape)
{
    kip_fir_v6_3_config c = defaults();
    c.reloadable = 1;
    c.coeff_width = 40; // warns during construction
    EXPECT_EQ(kip_fir_v6_3_create(&c, &throwing_handler, nullptr), nullptr);
    c.filter_type = 9;
    EXPECT_EQ(kip_fir_v6_3_create(&c, &throwing_handler, nullptr), nullptr);
}

// Valid and refused configurations at every stage of construction; the sanitizer build
// checks that nothing is left behind.
TEST(Entry, RepeatedCreateAndDestroy)
{
    FirMessageLog log;
    for (int round = 0; round < 3; ++round) {
        std::vector<kip_fir_v6_3_config> configs(8, defaults());
        configs[1].reloadable = 1;
        configs[1].coeff_width = 40; // integer mode
        configs[2].filter_type = 3; // Hilbert delay lines
        configs[2].num_paths = 4;
        configs[2].num_channels = 8;
        configs[3].filter_type = 7; // refused in validation
        configs[4].output_rounding = 2; // refused after the accumulator width
        configs[4].output_width = 99;
        configs[5].coeff_width = 0; // refused by a context
        configs[6].num_paths = 0; // refused: no kernels
        configs[7].name = nullptr; // refused before the loggers exist
        for (const auto& c : configs) {
            kip_fir_v6_3* m = kip_fir_v6_3_create_dbg(
                &c, &FirMessageLog::record_message, &log, &FirMessageLog::record_message, &log);
            if (m) {
                EXPECT_EQ(kip_fir_v6_3_destroy(m), 0);
            }
        }
    }
    EXPECT_FALSE(log.messages.empty());
}

// ---------------------------------------------------------------- KLogger

TEST(Logger, LevelsPrefixAndFlags)
{
    FirMessageLog log;
    KLogger k(&FirMessageLog::record_message, &log, "f1");
    EXPECT_EQ(k.warn("x"), "f1 WARNING: x");
    EXPECT_EQ(k.error("x"), "f1 ERROR: x");
    EXPECT_EQ(k.note("x"), "f1 NOTE: x");
    EXPECT_EQ(k.note("Reading fsel values...\n"), "f1 NOTE: Reading fsel values...\n");
    EXPECT_EQ(log.messages,
        (std::vector<FirMessage> { { 0, "f1 WARNING: x" }, { 1, "f1 ERROR: x" },
            { 0, "f1 NOTE: x" }, { 0, "f1 NOTE: Reading fsel values...\n" } }));
    EXPECT_TRUE(k.active());
}

TEST(Logger, StreamFormsAndNullHandler)
{
    FirMessageLog log;
    KLogger k(&FirMessageLog::record_message, &log, "n");
    std::ostringstream os;
    os << "value " << 42 << ' ' << 0.1 / 3;
    EXPECT_EQ(k.error(os), "n ERROR: value 42 0.0333333");
    EXPECT_EQ(k.warn(os), "n WARNING: value 42 0.0333333");
    EXPECT_EQ(k.note(os), "n NOTE: value 42 0.0333333");
    EXPECT_EQ(log.messages.size(), 3u);
    EXPECT_EQ(log.messages[0].error, 1);

    KLogger silent(nullptr, nullptr, "s");
    EXPECT_FALSE(silent.active());
    EXPECT_EQ(silent.error("e"), "s ERROR: e");
    EXPECT_EQ(silent.note(os), "s NOTE: value 42 0.0333333");
}

// The stream forms reach the string forms through the virtual table.
struct CountingLogger : KLogger {
    CountingLogger()
        : KLogger(nullptr, nullptr, "c")
    {
    }
    int warnings = 0;
    std::string warn(const std::string& text) override
    {
        ++warnings;
        return KLogger::warn(text);
    }
    using KLogger::warn;
};

TEST(Logger, StreamFormDispatchesVirtually)
{
    CountingLogger c;
    KLogger& k = c;
    std::ostringstream os;
    os << "w";
    EXPECT_EQ(k.warn(os), "c WARNING: w");
    EXPECT_EQ(c.warnings, 1);
}

// ---------------------------------------------------------------- the guard

struct GuardFixture : ::testing::Test {
    FirMessageLog log;
    kip_fir_v6_3* model = nullptr;
    void SetUp() override
    {
        const kip_fir_v6_3_config c = defaults();
        model = kip_fir_v6_3_create(&c, &FirMessageLog::record_message, &log);
        ASSERT_NE(model, nullptr);
    }
    void TearDown() override { kip_fir_v6_3_destroy(model); }
};

TEST_F(GuardFixture, ResultPassesThroughUnchanged)
{
    EXPECT_EQ(kip_fir_guard(model, "data_send", [](FIR&) { return 0; }), 0);
    EXPECT_EQ(kip_fir_guard(model, "data_send", [](FIR&) { return 7; }), 7);
    EXPECT_TRUE(log.messages.empty());
}

TEST_F(GuardFixture, RuntimeErrorsBecomeOneErrorMessage)
{
    EXPECT_EQ(kip_fir_guard(model, "config_send",
                  [](FIR&) -> int32_t { throw FIRException("Expecting 1-D array for fsel"); }),
        1);
    EXPECT_EQ(kip_fir_guard(model, "x",
                  [](FIR&) -> int32_t { throw FirFilterException("Invalid Filter rate"); }),
        1);
    EXPECT_EQ(kip_fir_guard(model, "x",
                  [](FIR&) -> int32_t { throw FFPException("Bad overflow mode specified"); }),
        1);
    EXPECT_EQ(
        kip_fir_guard(model, "x", [](FIR&) -> int32_t { throw std::range_error("range"); }), 1);
    EXPECT_EQ(log.messages,
        (std::vector<FirMessage> { { 1, "tapforge_v6_3 ERROR: Expecting 1-D array for fsel" },
            { 1, "tapforge_v6_3 ERROR: Invalid Filter rate" },
            { 1, "tapforge_v6_3 ERROR: Bad overflow mode specified" },
            { 1, "tapforge_v6_3 ERROR: range" } }));
}

TEST_F(GuardFixture, OtherExceptionsNameTheOperation)
{
    EXPECT_EQ(kip_fir_guard(model, "config_send", [](FIR&) -> int32_t { throw 3; }), 1);
    EXPECT_EQ(
        kip_fir_guard(model, "data_get", [](FIR&) -> int32_t { throw std::logic_error("l"); }), 1);
    EXPECT_EQ(kip_fir_guard(model, "reset", [](FIR&) -> int32_t { throw std::bad_alloc(); }), 1);
    EXPECT_EQ(log.messages,
        (std::vector<FirMessage> {
            { 1, "tapforge_v6_3 ERROR: Uncaught exception in FIR model config_send" },
            { 1, "tapforge_v6_3 ERROR: Uncaught exception in FIR model data_get" },
            { 1, "tapforge_v6_3 ERROR: Uncaught exception in FIR model reset" } }));
}

TEST(Guard, ThrowingHandlerDoesNotEscape)
{
    const kip_fir_v6_3_config c = defaults();
    kip_fir_v6_3* m = kip_fir_v6_3_create(&c, &throwing_handler, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(kip_fir_guard(m, "x", [](FIR&) -> int32_t { throw FIRException("boom"); }), 1);
    EXPECT_EQ(kip_fir_guard(m, "x", [](FIR&) -> int32_t { throw 1; }), 1);
    kip_fir_v6_3_config out;
    EXPECT_EQ(kip_fir_v6_3_get_config(m, &out), 0);
    EXPECT_EQ(kip_fir_v6_3_destroy(m), 0);
}

} // namespace
