#include "fs/TCustom.h"

namespace vantrel {

void TCustomFile::AssignTo(TCustomFile& target) const {
  target.Name = Name;
  target.Drive = Drive;
  target.Status = Status;
  target.Condition = Condition;
  target.Parent = Parent;
  target.Verdict = Verdict;
  target.BadOffset = BadOffset;
}

TCustomDirectory::~TCustomDirectory() {
  Clear();
  Items.reset();
}

void TCustomDirectory::AssignTo(TCustomDirectory& target) const {
  target.Name = Name;
  target.Drive = Drive;
  target.Expanded = Expanded;
  target.Status = Status;
  target.Condition = Condition;
  target.Parent = Parent;
  target.Items.reset();
}

void TCustomDirectory::Clear() {
  if (Items) Items->clear();
}

TCustomDrive::~TCustomDrive() = default;

}  // namespace vantrel
