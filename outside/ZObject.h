// Root of the foundation class family: every class of the system derives
// from ZObject_6_0 and overrides its hash, ordering, cloning and equality so
// that the foundation containers can hold it. Also the foundation exception
// classes, the only exceptions the library raises besides the domain ones.
#pragma once

#include <exception>
#include <string>

class ZObject_6_0 {
 public:
  ZObject_6_0() = default;
  ZObject_6_0(ZObject_6_0 const&) = default;
  ZObject_6_0& operator=(ZObject_6_0 const&) = default;
  virtual ~ZObject_6_0() = default;

  // 32-bit hash; equal objects hash equally.
  virtual unsigned int hash() const { return static_cast<unsigned int>(reinterpret_cast<unsigned long>(this)); }
  // Negative, zero or positive as this object orders before, with or after other.
  virtual int compare(ZObject_6_0 const& other) const {
    return this < &other ? -1 : (this == &other ? 0 : 1);
  }
  // A new heap copy; the caller owns it.
  virtual ZObject_6_0* clone() const { return new ZObject_6_0(*this); }
  virtual bool equals(ZObject_6_0 const& other) const { return this == &other; }
};

// Base of the foundation exceptions: a numeric code and a text.
class ZException_6_0 : public std::exception {
 public:
  ZException_6_0(unsigned long code, std::string text) : code_(code), text_(std::move(text)) {}
  unsigned long code() const noexcept { return code_; }
  char const* what() const noexcept override { return text_.c_str(); }
  char const* className() const noexcept { return name_; }
  // Records where the exception is raised from and throws a copy of it.
  [[noreturn]] virtual void throwException(char const* file, int line);

 protected:
  char const* name_ = "ZException_6_0";

 private:
  unsigned long code_;
  std::string text_;
};

class ZInvalidParameterException_6_0 : public ZException_6_0 {
 public:
  explicit ZInvalidParameterException_6_0(std::string text = "invalid parameter")
      : ZException_6_0(0x10652001, std::move(text)) { name_ = "ZInvalidParameterException_6_0"; }
  [[noreturn]] void throwException(char const* file, int line) override;
};

class ZOutOfMemoryException_6_0 : public ZException_6_0 {
 public:
  explicit ZOutOfMemoryException_6_0(std::string text = "out of memory")
      : ZException_6_0(0x10652065, std::move(text)) { name_ = "ZOutOfMemoryException_6_0"; }
  [[noreturn]] void throwException(char const* file, int line) override;
};
