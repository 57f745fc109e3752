// Exception base of the program and the texts of system and OpenSSL errors.
#pragma once

#include <exception>
#include <string>

namespace ns::error {

// Base of every exception the program throws; the message is its whole content.
class UnknownError : public std::exception {
public:
    explicit UnknownError(const char* message) : message_(message) {}
    explicit UnknownError(const std::string& message) : message_(message) {}
    ~UnknownError() override = default;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Declares a module's own exception class: no fields, only the message.
#define NS_DECLARE_ERROR(Name)                                                 \
    class Name : public ::ns::error::UnknownError {                            \
    public:                                                                    \
        using ::ns::error::UnknownError::UnknownError;                         \
        ~Name() override = default;                                            \
    }

// The operating system's text for an error number; safe from any thread.
std::string getMessage(int errnum);

// The calling thread's OpenSSL error queue, drained, entries joined with ", ";
// "Unknown error" when it is empty.
std::string getSslError();

} // namespace ns::error
