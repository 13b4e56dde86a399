#ifndef SPARLIN_STALEFOLDERS_H
#define SPARLIN_STALEFOLDERS_H

#include <cstdint>
#include <string>

namespace Sparlin {

// How many folders of our name pattern one start looks at, at most.
inline constexpr unsigned staleFolderCandidates = 16;

// How many entries of one listing a start reads, at most, to pick them from.
inline constexpr unsigned staleFolderListing = 2048;

// A folder younger than this may belong to a start that has just made it and
// not opened it yet: it is never touched. In 100 ns units, as file times are.
inline constexpr std::uint64_t staleFolderMinimumAge = 60ull * 10000000ull;

// Removes the folders that earlier starts left in `root` (a crash, a power
// cut, a file that stayed): only names of our pattern, only real folders
// (never a link), only those older than `minimumAge`, only those nothing
// holds open, only those whose owner and access list read exactly as
// `security` (this start's own folder's, SecurityOf), and only those that
// hold nothing but files of the names a start writes. Anyone may create
// folders of that name here, or move one in, so nothing in it waits: no
// open breaks an oplock or blocks on one, and at most
// `staleFolderCandidates` are looked at, picked at random from a listing of
// at most `listing` entries (narrowed by random name digits when there are
// more), so that planted folders cannot take every start's slots. Returns
// how many went.
unsigned RemoveStaleFolders(const std::wstring& root, const std::wstring& security,
                            std::uint64_t minimumAge = staleFolderMinimumAge, unsigned listing = staleFolderListing);

} // namespace Sparlin

#endif
