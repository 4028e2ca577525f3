#pragma once

// The exceptions of the model. Each carries a message (wide text with %1/%2
// filled by operator<<, plus the source file and line where it was raised) and
// is a std::exception whose what() is the finished text in UTF-8.
//
//   throw KVRENotFound(L"%1 is not a logical child of %2") << childTitle << parentTitle;
//
// operator<< keeps the exception's own type, so the throw does not slice.

#include <concepts>
#include <exception>
#include <string>
#include <type_traits>

#include "KVRMessage.h"
#include "KVRPlatformExport.h"
#include "KVRSourceLocation.h"

class KVRPLATFORM_API KVRException : public std::exception {
 public:
  explicit KVRException(std::wstring text, KVRSourceLocation where = KVRSourceLocation::current());
  KVRException(std::wstring text, const char* file, int line);
  ~KVRException() override;

  // The finished wide text, arguments substituted.
  std::wstring getMessage() const;
  const KVRMessage& message() const { return message_; }
  const char* what() const noexcept override { return what_.c_str(); }

  void addArgument(const std::wstring& argument);
  void addArgument(const KVRMessage& argument);

 private:
  KVRMessage message_;
  std::string what_;
};

class KVRPLATFORM_API KVRERuntimeError : public KVRException {
 public:
  using KVRException::KVRException;
  ~KVRERuntimeError() override;
};

// A looked-up object is not where the caller says it is.
class KVRPLATFORM_API KVRENotFound : public KVRERuntimeError {
 public:
  using KVRERuntimeError::KVRERuntimeError;
  ~KVRENotFound() override;
};

// An object already has the role (parent, connection, ...) it is being given.
class KVRPLATFORM_API KVREAlreadyRegistered : public KVRERuntimeError {
 public:
  using KVRERuntimeError::KVRERuntimeError;
  ~KVREAlreadyRegistered() override;
};

// The requested relation between objects cannot be made.
class KVRPLATFORM_API KVREInvalidRelation : public KVRERuntimeError {
 public:
  using KVRERuntimeError::KVRERuntimeError;
  ~KVREInvalidRelation() override;
};

// A handle's referent is not of the requested class.
class KVRPLATFORM_API KVREInvalidCast : public KVRERuntimeError {
 public:
  using KVRERuntimeError::KVRERuntimeError;
  ~KVREInvalidCast() override;
};

// An argument that no call accepts, such as an empty handle where an object is required.
class KVRPLATFORM_API KVREInvalidArgument : public KVRERuntimeError {
 public:
  using KVRERuntimeError::KVRERuntimeError;
  ~KVREInvalidArgument() override;
};

template <class E>
requires std::derived_from<std::remove_cvref_t<E>, KVRException> E && operator<<(
    E&& exception, const std::wstring& argument) {
  exception.addArgument(argument);
  return std::forward<E>(exception);
}

template <class E>
requires std::derived_from<std::remove_cvref_t<E>, KVRException> E && operator<<(E&& exception,
                                                                                 const KVRMessage& argument) {
  exception.addArgument(argument);
  return std::forward<E>(exception);
}
