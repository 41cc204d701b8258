// CqnExceptionObject, the pooled list's exception (a family of its own, outside CqnHRESULT),
// and CqnCString, the base library's small string class that carries its message.
// Plain values; no locks.
#pragma once

#include <cstdint>
#include <string>

class CqnCString {
public:
    CqnCString() = default;
    CqnCString(const char* text) : m_text(text ? text : "") {}  // NOLINT: implicit by design
    // printf-style formatting.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* GetString() const { return m_text.c_str(); }
    std::size_t GetLength() const { return m_text.size(); }
    bool operator==(const char* other) const { return m_text == (other ? other : ""); }

private:
    std::string m_text;
};

class CqnExceptionObject {
public:
    CqnExceptionObject() = default;
    CqnExceptionObject(std::int32_t code, const char* file, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    CqnExceptionObject(const CqnExceptionObject&) = default;
    CqnExceptionObject& operator=(const CqnExceptionObject&) = default;
    virtual ~CqnExceptionObject() = default;

    virtual void Set(std::uint32_t status, const char* message, const char* file,
                     std::int32_t code);
    virtual void SetParts(std::uint32_t code, std::uint32_t subFacility, std::uint32_t facility,
                          std::uint32_t category, bool failure, const char* message,
                          const char* file, std::uint32_t line);

    std::uint32_t GetStatus() const { return m_status; }
    std::int32_t GetCode() const { return m_code; }
    const CqnCString& GetMessage() const { return m_message; }
    const char* GetFile() const { return m_file; }

private:
    std::uint32_t m_status = 0;
    std::int32_t m_code = 0;
    CqnCString m_message;
    const char* m_file = nullptr;
};
