#include "module/base/errors/hresult_exception.h"

#include "module/base/errors/error_string_database.h"

namespace qnErrors {

CqnHRESULTException::CqnHRESULTException(std::string message, const char* file, std::uint32_t line)
    : CqnHRESULTException(std::move(message), 8, 0, 0, 0, false, file, line) {}

CqnHRESULTException::CqnHRESULTException(std::string message, std::uint32_t code,
                                         std::uint32_t subFacility, std::uint32_t facility,
                                         std::uint32_t category, bool failure, const char* file,
                                         std::uint32_t line)
    : CqnHRESULT(ComposeStatus(code, subFacility, facility, category, failure)),
      m_file(file),
      m_line(line),
      m_message(std::move(message)) {}

const char* CqnHRESULTException::GetErrorText(std::uint32_t status) const {
    return CErrorStringDatabase::Instance().Lookup(status);
}

const char* CqnHRESULTException::GetMessage() const {
    if (!m_description.empty()) {
        return m_description.c_str();
    }
    std::string text;
    if (!m_message.empty()) {
        text = m_message;
    } else if (const char* known = GetErrorText(m_status)) {
        text = known;
    } else {
        text = "Error code " + std::to_string(GetCode()) + " (no extended information) occured";
    }
    text += ". ";
    if (const char* sub = GetSubFacilityName()) {
        text += "Exception from Sub-Facility '";
        text += sub;
        text += "'";
    } else {
        text += "Exception from Sub-Facility Nr. " + std::to_string(GetSubFacility());
    }
    text += " of Facility ";
    if (const char* facility = GetFacilityName()) {
        text += "'";
        text += facility;
        text += "'";
    } else {
        text += "Nr. " + std::to_string(GetFacility());
    }
    if (m_file != nullptr) {
        text += " thrown in file ";
        text += m_file;
        if (m_line != 0) {
            text += " at line Nr. " + std::to_string(m_line);
        }
    }
    text += ".";
    m_description = std::move(text);
    return m_description.c_str();
}

}  // namespace qnErrors
