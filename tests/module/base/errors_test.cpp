#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "module/base/errors/error_string_database.h"
#include "module/base/errors/exception_object.h"
#include "module/base/errors/host_exceptions.h"
#include "module/base/errors/hresult_exception.h"

using namespace qnErrors;

TEST(ErrorModel, StatusFieldsComposeAndDecompose) {
    const qnBase::CqnBaseException e("x", 6, 2, false, "RingBuffer", 1);
    EXPECT_EQ(e.GetStatus(), 0x04100006u);
    EXPECT_EQ(e.GetCode(), 6u);
    EXPECT_EQ(e.GetSubFacility(), 0u);
    EXPECT_EQ(e.GetFacility(), 1u);
    EXPECT_EQ(e.GetCategory(), 2u);
    EXPECT_FALSE(e.IsFailure());
    EXPECT_EQ(qnCollections::CqnCollectionsException("x", 2, "RingBuffer", 1).GetStatus(),
              0x04104002u);
    EXPECT_EQ(qnBase::CqnBaseException("x", 4, 4, true, "f", 1).GetStatus(), 0x88100004u);
    EXPECT_EQ(CqnHRESULTException("x", "AVIPlayer", 1).GetStatus(), 8u);
}

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

TEST(ErrorModel, DescriptionIsComposedOnceAndCopiedWithTheException) {
    const CqnHRESULTException original("text", "F", 3);
    const char* first = original.GetMessage();
    EXPECT_EQ(first, original.GetMessage());
    const CqnHRESULTException copy(original);
    EXPECT_STREQ(copy.GetMessage(), first);
    try {
        throw qnCollections::CqnCollectionsException("Buffer is locked", 2, "RingBuffer", 1070);
    } catch (const CqnHRESULT& caught) {
        EXPECT_EQ(caught.GetStatus(), 0x04104002u);
        EXPECT_STREQ(dynamic_cast<const CqnHRESULTException&>(caught).GetSubFacilityName(),
                     "qnCollections");
    }
}

TEST(ErrorStringDatabase, LooksUpCachesAndFallsBackPerThread) {
    auto& db = CErrorStringDatabase::Instance();
    EXPECT_STREQ(db.Lookup(0x88100004), "One or more given argument was invalid");
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
    EXPECT_STREQ(db.Lookup(0x0000000A),
                 "No previous error set and no match for error code found. Error code: 10");
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

TEST(ExceptionObject, SetPartsComposesTheStatus) {
    CqnExceptionObject e(-1, "CqnList", "Index %s", "out of Range");
    EXPECT_EQ(e.GetStatus(), 0x80000000u);
    EXPECT_STREQ(e.GetMessage().GetString(), "Index out of Range");
    e.SetParts(4, 0, 1, 4, true, "msg", "file", 10);
    EXPECT_EQ(e.GetStatus(), 0x88100004u);
    EXPECT_STREQ(e.GetFile(), "file");
}

TEST(HostExceptions, CarryTheirStatus) {
    EXPECT_EQ(zylBase::argument_null().status(), static_cast<std::int32_t>(0x80000002u));
    EXPECT_STREQ(zylBase::argument_null().what(), "ptr");
    EXPECT_EQ(zylBase::bad_alloc().status(), static_cast<std::int32_t>(0x80000005u));
    EXPECT_EQ(zylBase::runtime_error().status(), static_cast<std::int32_t>(0x80000001u));
    const zylBase::invalid_argument e("Interface in ptr present this container");
    EXPECT_STREQ(e.what(), "Interface in ptr present this container");
    EXPECT_STREQ(base2::character_conversion_error().what(), "");
}
