// The module's exception family: a 32-bit status code plus message, throw site and a composed
// description that catchers log.
//
// Status layout from bit 0: code (12 bits), sub-facility (8), facility (5), category (6),
// failure bit (1). Exceptions are plain values owned by whoever caught them; they take no locks
// except the error-string database's (see error_string_database.h) when composing.
#pragma once

#include <cstdint>
#include <string>

namespace qnErrors {

constexpr std::uint32_t ComposeStatus(std::uint32_t code, std::uint32_t subFacility,
                                      std::uint32_t facility, std::uint32_t category,
                                      bool failure) {
    return (static_cast<std::uint32_t>(failure) << 31) | ((category & 0x3F) << 25) |
           ((facility & 0x1F) << 20) | ((subFacility & 0xFF) << 12) | (code & 0xFFF);
}

class CqnHRESULT {
public:
    explicit CqnHRESULT(std::uint32_t status = 0) : m_status(status) {}
    CqnHRESULT(const CqnHRESULT&) = default;
    CqnHRESULT& operator=(const CqnHRESULT&) = default;
    virtual ~CqnHRESULT() = default;

    std::uint32_t GetStatus() const { return m_status; }
    std::uint32_t GetCode() const { return m_status & 0xFFF; }
    std::uint32_t GetSubFacility() const { return (m_status >> 12) & 0xFF; }
    std::uint32_t GetFacility() const { return (m_status >> 20) & 0x1F; }
    std::uint32_t GetCategory() const { return (m_status >> 25) & 0x3F; }
    bool IsFailure() const { return (m_status >> 31) != 0; }

protected:
    std::uint32_t m_status;
};

class CqnHRESULTException : public CqnHRESULT {
public:
    // The players' form: status 8, facility and sub-facility 0.
    CqnHRESULTException(std::string message, const char* file, std::uint32_t line);
    CqnHRESULTException(std::string message, std::uint32_t code, std::uint32_t subFacility,
                        std::uint32_t facility, std::uint32_t category, bool failure,
                        const char* file, std::uint32_t line);
    CqnHRESULTException(const CqnHRESULTException&) = default;
    CqnHRESULTException& operator=(const CqnHRESULTException&) = default;
    ~CqnHRESULTException() override = default;

    // The composed description; built on first call, then kept.
    virtual const char* GetMessage() const;
    virtual const char* GetFacilityName() const { return nullptr; }
    virtual const char* GetSubFacilityName() const { return nullptr; }
    virtual const char* GetErrorText(std::uint32_t status) const;

    const char* GetFile() const { return m_file; }
    std::uint32_t GetLine() const { return m_line; }
    const std::string& GetRawMessage() const { return m_message; }

private:
    const char* m_file;
    std::uint32_t m_line;
    mutable std::string m_description;
    std::string m_message;
};

}  // namespace qnErrors

namespace qnBase {

class CqnBaseException : public qnErrors::CqnHRESULTException {
public:
    CqnBaseException(std::string message, std::uint32_t code, std::uint32_t category, bool failure,
                     const char* file, std::uint32_t line)
        : CqnHRESULTException(std::move(message), code, 0, 1, category, failure, file, line) {}
    const char* GetFacilityName() const override { return "CqnBase"; }
    const char* GetSubFacilityName() const override { return "qnBase"; }
};

}  // namespace qnBase

namespace qnCollections {

class CqnCollectionsException : public qnErrors::CqnHRESULTException {
public:
    CqnCollectionsException(std::string message, std::uint32_t code, const char* file,
                            std::uint32_t line)
        : CqnHRESULTException(std::move(message), code, 4, 1, 2, false, file, line) {}
    const char* GetFacilityName() const override { return "CqnBase"; }
    const char* GetSubFacilityName() const override { return "qnCollections"; }
};

}  // namespace qnCollections

namespace qnMath {

class CqnMathException : public qnErrors::CqnHRESULTException {
public:
    CqnMathException(std::uint32_t code, std::uint32_t line)
        : CqnHRESULTException(std::string(), code, 1, 1, 0, false, "CqnVector2D", line) {}
    const char* GetFacilityName() const override { return "CqnBase"; }
    const char* GetSubFacilityName() const override { return "qnMath"; }
};

}  // namespace qnMath
