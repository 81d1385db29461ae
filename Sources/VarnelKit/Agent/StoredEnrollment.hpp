#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"

#include <optional>
#include <string>

namespace varnel {

// The enrollment as this computer keeps it: the device token in its credential item and the
// settings file that names the server the token belongs to. The two change together or not at
// all, whatever stops an enrollment part-way (a full disk, a crash between two writes), so a token
// is never sent to a server it was not issued by. Both programs read and change them only here.
struct StoredEnrollment {
    std::optional<AgentSettings> settings; // none: not set up
    std::optional<std::string> token;      // none: no token is stored

    // First settles what an enrollment that stopped part-way left, then reads both. Throws a
    // RefusedFile, before anything is changed: AgentSettings::Refused for a settings file that
    // breaks the enrollment's rules, DataFolder::Refused for a folder, settings file or token item
    // that someone else can have changed (the folder's owner tightens them first). A reader that
    // does not own the data folder (root reading a user's) writes nothing there: it takes a token
    // waiting in the pending item from there.
    static StoredEnrollment load(const CredentialStore& credentials);
    // Replaces the stored enrollment with this token and these settings. Throws the credential
    // store's StoreError or the settings file's Error, and the enrollment stored before then stays
    // as it was and works. That includes a token an earlier save left waiting in the pending item:
    // it is put in its place first, and the save fails with the StoreError when it cannot be.
    static void save(const CredentialStore& credentials, const std::string& token,
                     const AgentSettings& settings);
    // Log-out: the token, the settings and whatever an enrollment left half-done (its pending item,
    // the temporary files of a write that was stopped) all go. Throws a varnel::Error that names
    // the file and the reason when one of them could not be removed, and DataFolder::Unwritable
    // for a folder that this process does not own (root reading a user's), in which it removes
    // nothing; DataFolder::Refused as load does.
    static void clear(const CredentialStore& credentials);

    // The steps of save(), each durable once it is reported. A hook sees each as it ends, so a
    // test can stop the process there, as a crash would; gives the hook it replaces. Not to be
    // swapped while a save runs.
    enum class Step { pendingWritten, settingsWritten, tokenWritten, pendingRemoved };
    using StepHook = void (*)(Step done);
    static StepHook setStepHook(StepHook hook);
};

} // namespace varnel
