#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "module/base/errors/error_string_database.h"
#include "module/base/errors/hresult_exception.h"

using namespace qnErrors;

TEST(ErrorModel, ComposedDescriptions) {
    EXPECT_STREQ(
        qnBase::CqnBaseException("Wait Timeout", 6, 2, false, "RingBuffer", 1172).GetMessage(),
        "Wait Timeout. Exception from Sub-Facility 'qnBase' of Facility 'CqnBase' thrown "
        "in file RingBuffer at line Nr. 1172.");
    EXPECT_STREQ(CqnHRESULTException("Unable to create VPAT", "AVIPlayer", 81).GetMessage(),
                 "Unable to create VPAT. Exception from Sub-Facility Nr. 0 of Facility Nr. 0 "
                 "thrown in file AVIPlayer at line Nr. 81.");
    EXPECT_STREQ(qnMath::CqnMathException(5, 157).GetMessage(),
                 "A division by zero was attempted. Exception from Sub-Facility 'qnMath' of "
                 "Facility 'CqnBase' thrown in file CqnVector2D at line Nr. 157.");
    EXPECT_STREQ(CqnHRESULTException("", nullptr, 0).GetMessage(),
                 "No previous error set and no match for error code found. Error code: 8. "
                 "Exception from Sub-Facility Nr. 0 of Facility Nr. 0.");
    EXPECT_STREQ(CqnHRESULTException("m", "File", 0).GetMessage(),
                 "m. Exception from Sub-Facility Nr. 0 of Facility Nr. 0 thrown in file File.");
}

TEST(ErrorStringDatabase, LooksUpAndFallsBackPerThread) {
    auto& db = CErrorStringDatabase::Instance();
    EXPECT_STREQ(db.Lookup(0x88100004), "One or more given argument was invalid");
    EXPECT_STREQ(db.Lookup(0x00104002), "The container element could not be accessed");
    EXPECT_STREQ(db.Lookup(0x00105001), "Read operation beyond the end of a stream was attempted");
    const char* nine = db.Lookup(0x00000009);
    EXPECT_STREQ(nine, "No previous error set and no match for error code found. Error code: 9");
    std::string other;
    std::thread([&] { other = db.Lookup(0x80000009); }).join();
    EXPECT_EQ(other,
              "No previous error set and no match for error code found. Error code: -2147483639");
    EXPECT_STREQ(nine, "No previous error set and no match for error code found. Error code: 9")
        << "another thread's lookup leaves this thread's text alone";
}

TEST(ErrorStringDatabase, FirstRegistrationWins) {
    auto& db = CErrorStringDatabase::Instance();
    EXPECT_FALSE(db.Register(8, 0, 1, "replaced"));
    EXPECT_STREQ(db.Lookup(0x00100008), "Unspecified error");
    static const ErrorTableEntry table[] = {{1, "one"}, {2, nullptr}, {3, "never read"}};
    CErrorStringRegistrator registrator(9, 7, table);
    EXPECT_STREQ(db.Lookup(ComposeStatus(1, 9, 7, 0, false)), "one");
    EXPECT_NE(std::string(db.Lookup(ComposeStatus(3, 9, 7, 0, false))), "never read");
}

TEST(ErrorStringDatabase, ConcurrentLookupsNeverMixKeyAndText) {
    auto& db = CErrorStringDatabase::Instance();
    auto worker = [&](std::uint32_t status, const char* expected, bool* ok) {
        for (int i = 0; i < 20000; ++i) {
            if (std::string(db.Lookup(status)) != expected) {
                *ok = false;
                return;
            }
        }
    };
    bool ok1 = true, ok2 = true;
    std::thread a(worker, 0x00100002u, "The specified Index is out of the permissible range", &ok1);
    std::thread b(worker, 0x00101005u, "A division by zero was attempted", &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}
