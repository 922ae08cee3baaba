// Where the booth puts prints and settings, read from the desktop's own
// settings the way a German or a tidy-minded user has them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "TempDir.h"
#include "base/Files.h"

TEST(UserFolders, TheDesktopsNamesAreUsedAndAFolderSetToHomeMeansNone) {
    testsupport::ScopedHome home;
    ASSERT_TRUE(base::writeFileAtomically(base::configHome() + "/user-dirs.dirs",
                                          "# written by xdg-user-dirs-update\n"
                                          "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
                                          "XDG_DOCUMENTS_DIR=\"$HOME/\"\n"));
    EXPECT_EQ(base::picturesDir(), home.path() + "/Bilder");
    EXPECT_EQ(base::documentsDir(), home.path() + "/Documents");
}

TEST(UserFolders, ARelativeXdgVariableIsIgnored) {
    testsupport::ScopedHome home;
    ::setenv("XDG_CACHE_HOME", "cache", 1);  // a relative base folder is ignored: it would move with the working directory
    EXPECT_EQ(base::cacheHome(), home.path() + "/.cache");
}
