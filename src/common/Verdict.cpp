#include "common/Verdict.h"

namespace vantrel {

std::string VerdictName(TVerdict verdict) {
  switch (verdict) {
    case vdVerified: return "verified";
    case vdPlausible: return "plausible";
    case vdDamaged: return "damaged";
    case vdCut: return "cut";
    case vdUnreadable: return "unreadable";
    case vdNone: break;
  }
  return "";
}

std::string VerdictText(TVerdict verdict) {
  switch (verdict) {
    case vdVerified: return "完整";
    case vdPlausible: return "可能";
    case vdDamaged: return "损坏";
    case vdCut: return "截断";
    case vdUnreadable: return "不可读";
    case vdNone: break;
  }
  return "";
}

}  // namespace vantrel
