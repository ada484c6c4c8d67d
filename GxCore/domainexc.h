// Exceptions a host may raise around the domain manager: no manager has
// been installed (NoDomainManagerException) or the named or current domain
// is not known (NoDomainException). The library itself reports through
// statuses and never throws these; they are offered so that hosts raise
// them the same way everywhere.
#pragma once

#include <string>

#include "outside/ZObject.h"

constexpr unsigned long gx_s_no_domain_manager = 0x1354A553;
constexpr unsigned long gx_s_no_domain = 0x1354A554;

// The common body of the two classes: code, class name and the location
// recorded by throwException.
class daDomainException : public ZException_6_0 {
 public:
  // A new copy of this exception; the caller owns it.
  virtual daDomainException* clone() const = 0;
  // Records file and line in the text, traces "<class> Exception thrown."
  // at level 9 (gxcore) and throws a copy of this exception.
  [[noreturn]] void throwException(char const* file, int line) override;
  // Logs the code as a message without inserts (attribute 16, gxcore).
  void print() const;
  // The class name, followed by the raising location once thrown.
  char const* what() const noexcept override;

 protected:
  daDomainException(unsigned long code, char const* className, std::string text)
      : ZException_6_0(code, std::move(text)) {
    name_ = className;
  }
  // Appends " (file:line)" to the text.
  void addLocation(char const* file, int line);
  [[noreturn]] virtual void throwCopy() const = 0;

 private:
  std::string located_;
};

class NoDomainManagerException : public daDomainException {
 public:
  NoDomainManagerException() : daDomainException(gx_s_no_domain_manager, "NoDomainManagerException",
                                                 "NoDomainManagerException") {}
  daDomainException* clone() const override { return new NoDomainManagerException(*this); }

 private:
  [[noreturn]] void throwCopy() const override { throw NoDomainManagerException(*this); }
};

class NoDomainException : public daDomainException {
 public:
  NoDomainException() : daDomainException(gx_s_no_domain, "NoDomainException", "NoDomainException") {}
  daDomainException* clone() const override { return new NoDomainException(*this); }

 private:
  [[noreturn]] void throwCopy() const override { throw NoDomainException(*this); }
};
