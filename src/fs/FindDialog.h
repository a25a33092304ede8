#pragma once
// The find dialog as the volume's search sees it.

#include <string>

namespace vantrel {

class TFSObject;

class IFindDialog {
 public:
  virtual ~IFindDialog() = default;
  // Asks for the name or mask; true when the search is to start.
  virtual bool Execute() = 0;
  virtual const std::string& Mask() const = 0;
  virtual bool Cancelled() const = 0;
  // A match: its display name, and the item found (before it is copied).
  virtual void AddHit(const std::string& name, const TFSObject& item) = 0;
  // Where the search is (the LabelScanning text).
  virtual void SetScanning(const std::string& path) = 0;
  virtual void Hide() = 0;
};

// The mask for what the user typed: empty is "*", a text without "." is
// wrapped in "*" on both sides.
std::string NormalizeFindMask(const std::string& text);

}  // namespace vantrel
