#pragma once
// How a file's clusters follow one another: consecutive clusters, a FAT
// copy's chain, or consecutive clusters that the FAT marks free (a deleted
// file written around other files). The FAT boxes of the save dialog and of
// the drive dialog list the choices in this order.

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// The choice value of "free clusters only"; 0 is consecutive clusters and
// k = 1, 2, ... FAT copy k.
constexpr std::uint8_t kFATChoiceFree = 0xFF;

// "no FAT (consecutive)", "FAT 1" ... "FAT n", and "free clusters only" when
// there is a FAT to tell the free clusters.
inline std::vector<std::string> FATChoiceItems(int numberOfFATs) {
  std::vector<std::string> items{"no FAT (consecutive)"};
  for (int i = 1; i <= numberOfFATs; ++i) items.push_back("FAT " + std::to_string(i));
  if (numberOfFATs >= 1) items.push_back("free clusters only");
  return items;
}

// The choice behind item index of FATChoiceItems, and the item of a choice
// (0 for one the list does not hold).
inline std::uint8_t FATChoiceOfItem(int index, int numberOfFATs) {
  if (numberOfFATs >= 1 && index == numberOfFATs + 1) return kFATChoiceFree;
  return index >= 0 && index <= numberOfFATs && index <= 254 ? static_cast<std::uint8_t>(index) : 0;
}
inline int ItemOfFATChoice(std::uint8_t choice, int numberOfFATs) {
  if (choice == kFATChoiceFree) return numberOfFATs >= 1 ? numberOfFATs + 1 : 0;
  return choice <= numberOfFATs ? choice : 0;
}

}  // namespace vantrel
