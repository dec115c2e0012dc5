// Folder directory names and the status report of a batch, driven through
// the run record without a server.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/casefold.h"
#include "base/text.h"
#include "base/windows_names.h"
#include "batch/batch.h"
#include "kerquill.h"
#include "platform/platform.h"

using namespace kq;

namespace {

// Names as every system but Windows makes them: stored archives are found
// again by these, so they must not change.
std::string sanitized(const std::string &name) {
  char out[k_subdir_cap];
  sanitize_folder_as(out, name.c_str(), false);
  return out;
}

std::string sanitized_for_windows(const std::string &name) {
  char out[k_subdir_cap];
  sanitize_folder_as(out, name.c_str(), true);
  return out;
}

void set_folders(const std::vector<std::string> &names) {
  batch_clear();
  for (const auto &n : names) {
    if (the_batch().folder_count == k_batch_slots - 1) break;
    batch_copy_name(the_batch().folders[the_batch().folder_count++], n.c_str(), n.size());
  }
  batch_assign_subdirs();
}

std::string status() { return kq_export_all_status_json(); }

}  // namespace

TEST(BatchNames, SanitizeReplacesSeparatorsAndQuotesOnly) {
  EXPECT_EQ(sanitized("Parent/Child"), "Parent_Child");
  EXPECT_EQ(sanitized("a\\b\"c"), "a_b_c");
  EXPECT_EQ(sanitized("Ar:chive.2024 x"), "Ar:chive.2024 x");
  EXPECT_EQ(sanitized(std::string(200, 'f')), std::string(127, 'f'));
}

TEST(BatchNames, NoFolderNamesTheBatchDirectoryOrItsParent) {
  EXPECT_EQ(sanitized(".."), "_..");
  EXPECT_EQ(sanitized("."), "_.");
  EXPECT_EQ(sanitized(""), "_");
  EXPECT_EQ(sanitized("..."), "...");
  EXPECT_EQ(sanitized("../x"), ".._x");
  EXPECT_EQ(sanitized("/"), "_");
}

TEST(BatchNames, NamesOutsideWindowsKeepWhatOnlyWindowsRefuses) {
  for (const char *kept : {"con", "NUL.txt", "a.", "b ", "x|y?*<>", "tab\there"})
    EXPECT_EQ(sanitized(kept), kept) << kept;
}

TEST(BatchNames, WindowsNamesAreOnesWindowsCanHold) {
  EXPECT_EQ(sanitized_for_windows("Ar:chive*2024?"), "Ar_chive_2024_");
  EXPECT_EQ(sanitized_for_windows("Parent/Child\\x\"<|>"), "Parent_Child_x____");
  EXPECT_EQ(sanitized_for_windows("Entw\xc3\xbcrfe"), "Entw\xc3\xbcrfe");
  // The batch directory or its parent after Windows strips the final dots.
  EXPECT_EQ(sanitized_for_windows(".."), "_._");
  EXPECT_EQ(sanitized_for_windows("."), "__");
  EXPECT_EQ(sanitized_for_windows("..."), ".._");
  EXPECT_EQ(sanitized_for_windows("Drafts "), "Drafts_");
  EXPECT_EQ(sanitized_for_windows("aux"), "_aux");
  EXPECT_EQ(sanitized_for_windows("Com7.archive"), "_Com7.archive");
  EXPECT_EQ(sanitized_for_windows(""), "_");
}

TEST(BatchNames, WindowsNamesStayWithinTheCapWhenADeviceNameGrows) {
  // 128 bytes, cut to 127 ending in ". "; the device name's '_' makes 128
  // again, and the second cut leaves a final '.', which must not stay.
  std::string name = "aux." + std::string(121, 'x') + ". y";
  std::string w = sanitized_for_windows(name);
  EXPECT_EQ(w.size(), k_subdir_cap - 1);
  EXPECT_EQ(w, "_aux." + std::string(121, 'x') + "_");
  // A long device name with nothing to mend at the end is cut like any other.
  w = sanitized_for_windows("con." + std::string(200, 'z'));
  EXPECT_EQ(w, "_con." + std::string(122, 'z'));
}

TEST(BatchNames, FoldersThatOnlyWindowsWouldMergeGetTheirOwnDirectory) {
  // On Windows "a." and "a" name one directory, and "a?" cannot be made;
  // whatever the system's rule, each folder gets a directory of its own
  // that the system can hold.
  set_folders({"a", "a.", "a ", "a?", "a_", "A_", "con", "_con"});
  for (int i = 0; i < the_batch().folder_count; ++i) {
    if (plat::windows_file_names()) {
      EXPECT_EQ(windows_file_name(the_batch().subdirs[i]), the_batch().subdirs[i]);
    }
    for (int j = 0; j < i; ++j)
      EXPECT_NE(fold_case(the_batch().subdirs[i]), fold_case(the_batch().subdirs[j])) << the_batch().subdirs[i];
  }
}

TEST(BatchNames, FoldersThatSanitizeAlikeGetTheirOwnDirectory) {
  const std::string longname(127, 'L');
  set_folders({"a/b", "a_b", "A_B", "x", longname, longname.substr(0, 126) + "l"});
  EXPECT_STREQ(the_batch().subdirs[0], "a_b");
  EXPECT_STREQ(the_batch().subdirs[1], "a_b~2");
  EXPECT_STREQ(the_batch().subdirs[2], "A_B~3");
  EXPECT_STREQ(the_batch().subdirs[3], "x");
  EXPECT_EQ(std::string(the_batch().subdirs[4]), longname);
  EXPECT_EQ(std::string(the_batch().subdirs[5]), longname.substr(0, 125) + "~2");
}

TEST(BatchNames, LongNamesAreNotCutInsideACharacter) {
  const std::string name = std::string(k_folder_cap - 2, 'a') + "\xc3\xa9" + "z";
  char out[k_folder_cap];
  batch_copy_name(out, name.c_str(), name.size());
  EXPECT_EQ(std::string(out), std::string(k_folder_cap - 2, 'a'));
}

TEST(BatchStatus, NoBatchYet) {
  batch_clear();
  EXPECT_EQ(status(), R"({"state":0,"folder_idx":0,"done_folders":0,"current":"","folders":{}})");
}

TEST(BatchStatus, WordsFollowEachFolderAndFailedFoldersGiveTheirReason) {
  set_folders({"INBOX", "Work/Old", "Sent"});
  // Configured but not started: nothing is running yet.
  EXPECT_EQ(status(), R"({"state":0,"folder_idx":0,"done_folders":0,"current":"",)"
                      R"("folders":{"INBOX":"pending","Work_Old":"pending","Sent":"pending"}})");
  the_batch().state = k_batch_running;
  the_batch().folder_idx = 1;
  the_batch().done_folders = 1;
  the_batch().folder_state[0] = k_folder_done;
  the_batch().folder_state[1] = k_folder_running;
  batch_set_current("folder 2/3: Work/Old \"q\"");
  EXPECT_EQ(status(), R"({"state":1,"folder_idx":1,"done_folders":1,"current":"folder 2/3: Work/Old \"q\"",)"
                      R"("folders":{"INBOX":"done","Work_Old":"running","Sent":"pending"}})");
  // A folder that failed keeps its word and reason while the batch goes on.
  batch_set_folder_error(1, "search Work/Old failed: cannot open mailbox Work/Old \xff");
  the_batch().folder_idx = 2;
  the_batch().folder_state[2] = k_folder_running;
  EXPECT_EQ(status(), R"({"state":1,"folder_idx":2,"done_folders":1,"current":"folder 2/3: Work/Old \"q\"",)"
                      R"("folders":{"INBOX":"done","Work_Old":"error","Sent":"running"},)"
                      R"("errors":{"Work_Old":"search Work/Old failed: cannot open mailbox Work/Old \u00ff"}})");
  the_batch().state = k_batch_failed;
  the_batch().folder_state[2] = k_folder_done;
  the_batch().done_folders = 2;
  batch_set_current("");
  EXPECT_EQ(status(), R"({"state":4,"folder_idx":2,"done_folders":2,"current":"",)"
                      R"("folders":{"INBOX":"done","Work_Old":"error","Sent":"done"},)"
                      R"("errors":{"Work_Old":"search Work/Old failed: cannot open mailbox Work/Old \u00ff"}})");
  // The run's own reason, which the batch thread cannot hand over through
  // last_error, follows the folders' once there is one.
  batch_set_error("1 folders failed; the first: \"q\"");
  EXPECT_EQ(status(), R"({"state":4,"folder_idx":2,"done_folders":2,"current":"",)"
                      R"("folders":{"INBOX":"done","Work_Old":"error","Sent":"done"},)"
                      R"("errors":{"Work_Old":"search Work/Old failed: cannot open mailbox Work/Old \u00ff"},)"
                      R"("error":"1 folders failed; the first: \"q\""})");
}

TEST(BatchStatus, FoldersPassedOverAsUnreadableAreCountedWithTheServersText) {
  set_folders({"INBOX", "Shared/Boss", "Other \"q\"", "Sent"});
  the_batch().state = k_batch_finished;
  the_batch().folder_idx = 3;
  the_batch().done_folders = 2;
  the_batch().folder_state[0] = k_folder_done;
  batch_set_folder_unreadable(1, "[NOPERM] Permission denied");
  batch_set_folder_unreadable(2, "");
  the_batch().folder_state[3] = k_folder_done;
  EXPECT_EQ(status(), R"({"state":2,"folder_idx":3,"done_folders":2,"current":"",)"
                      R"("folders":{"INBOX":"done","Shared_Boss":"unreadable","Other _q_":"unreadable","Sent":"done"},)"
                      R"("unreadable_folders":2,"unreadable":{"Shared_Boss":"[NOPERM] Permission denied","Other _q_":""}})");
}

TEST(BatchNames, BytesThatAreNoCharacterBecomeUnderscoresSoTheJsonStaysValid) {
  EXPECT_EQ(sanitized("Caf\xe9 \xc3\xa9t\xc3"), "Caf_ \xc3\xa9t_");
  // The cut at 127 bytes never splits a character.
  EXPECT_EQ(sanitized(std::string(126, 'a') + "\xc3\xa9"), std::string(126, 'a'));
  set_folders({"Caf\xe9", "Caf\xe8"});
  json_doc d;
  std::string s = status();
  ASSERT_TRUE(d.parse(s)) << s;
  EXPECT_STREQ(the_batch().subdirs[1], "Caf_~2");
}

TEST(BatchStatus, StaysValidJsonAtItsLimit) {
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) names.push_back(std::to_string(i) + "_" + std::string(120, 'n') + "\"");
  set_folders(names);
  EXPECT_EQ(the_batch().folder_count, 511);
  the_batch().state = k_batch_running;
  the_batch().folder_state[0] = k_folder_running;
  batch_set_current(("folder 1/511: " + names[0]).c_str());
  std::string s = status();
  EXPECT_LE(s.size(), 16383u);
  EXPECT_GT(s.size(), 16383u - 140u);
  ASSERT_TRUE(s.ends_with("}}"));
  json_doc d;
  ASSERT_TRUE(d.parse(s));
  yyjson_val *folders = json_key(d.root(), "folders");
  std::size_t n = yyjson_obj_size(folders);
  EXPECT_GT(n, 100u);
  EXPECT_LT(n, 511u);
  // The entries kept are the first ones, in order.
  char want[k_subdir_cap];
  sanitize_folder(want, names[n - 1].c_str());
  EXPECT_STREQ(json_str(folders, want), "pending");
  EXPECT_STREQ(json_str(folders, the_batch().subdirs[0]), "running");
  // A folder passed over beyond the cut is still counted.
  batch_set_folder_unreadable(510, "no");
  s = status();
  EXPECT_LE(s.size(), 16383u);
  ASSERT_TRUE(d.parse(s));
  EXPECT_EQ(json_num(d.root(), "unreadable_folders", -1), 1);
  // Room for the count may cost the last entry, never more.
  EXPECT_GE(yyjson_obj_size(json_key(d.root(), "folders")) + 1, n);
}
