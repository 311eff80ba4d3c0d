// The English texts the updater shows. Each is a message id of the embedded catalogs and is translated by the
// message locale at the moment of use. Plain constants: any thread may read them.
#pragma once

#include <array>
#include <string_view>

namespace halcyne::Updater {

// The sentence that sends the user to the support site. The two messages that end with it are single message
// ids in the catalogs, so it must stay the same here and in every catalog.
#define HALCYNE_SUPPORT_SENTENCE "Please visit support.halcyne.example for further assistance."
inline constexpr char SupportSentence[] = HALCYNE_SUPPORT_SENTENCE;

namespace Message {
inline constexpr char OneHourRemaining[] = "1 hour remaining";
inline constexpr char OneHourOneMinuteRemaining[] = "1 hour, 1 minute remaining";
inline constexpr char OneHourMinutesRemaining[] = "1 hour, {1} minutes remaining";
inline constexpr char OneMinuteRemaining[] = "1 minute remaining";
inline constexpr char OneSecondRemaining[] = "1 second remaining";
inline constexpr char UnexpectedError[] = "An unexpected error occurred. " HALCYNE_SUPPORT_SENTENCE;
inline constexpr char CalculatingTimeRemaining[] = "Calculating time remaining";
inline constexpr char OutOfDiskSpace[] =
    "It looks like your system disk is out of space. Free some space and give it another try.";
inline constexpr char LaunchingDownloader[] = "Launching {1} Downloader";
inline constexpr char OutOfMemory[] =
    "The system is out of memory; are you running too many programs? Free up some memory and try again.";
inline constexpr char LaunchFailed[] = "The {1} Downloader could not be launched. " HALCYNE_SUPPORT_SENTENCE;
inline constexpr char ConnectionError[] =
    "We couldn't establish a connection. Could you please check your connection and try again?";
inline constexpr char DiskWriteError[] =
    "We're having some trouble writing to your disk. Can you make sure your user account has sufficient "
    "permissions and try again?";
inline constexpr char DownloaderTitle[] = "{1} Downloader";
inline constexpr char DownloaderErrorTitle[] = "{1} Downloader Error";
inline constexpr char HoursRemaining[] = "{1} hours remaining";
inline constexpr char HoursOneMinuteRemaining[] = "{1} hours, 1 minute remaining";
inline constexpr char HoursMinutesRemaining[] = "{1} hours, {2} minutes remaining";
inline constexpr char MinutesRemaining[] = "{1} minutes remaining";
inline constexpr char SecondsRemaining[] = "{1} seconds remaining";
inline constexpr char AlreadyRunning[] =
    "{1} Downloader is already running. Please wait for it to finish and try again.";
// Shown instead of starting anything when the stamped configuration lacks what the downloader's command line
// needs (the game package, name or folder for the language).
inline constexpr char ConfigurationError[] =
    "The updater's configuration is incomplete, so it cannot continue. " HALCYNE_SUPPORT_SENTENCE;
inline constexpr char NotPublished[] =
    "This download is not available yet. Please try again later. " HALCYNE_SUPPORT_SENTENCE;
inline constexpr char NotVerified[] =
    "The download could not be verified, so it was stopped to protect your "
    "computer. " HALCYNE_SUPPORT_SENTENCE;
inline constexpr char NotEnoughSpace[] =
    "There is not enough free space in {1}: the download needs {2}, but only {3} is free. Free some space "
    "and try again.";
inline constexpr char DataFolderUnusable[] =
    "The folder {1} cannot be used for the download. Make sure it is a folder of your own that only your "
    "user account can write to, and try again.";
inline constexpr char Reconnecting[] = "Connection lost. Reconnecting in {1} s...";
inline constexpr char Details[] = "Details: {1}";
inline constexpr char DetailsWithLog[] = "Details: {1}; work log: {2}";
inline constexpr char Retry[] = "Retry";
inline constexpr char Close[] = "Close";
inline constexpr char RetryPrompt[] = "Type r and press Enter to try again, or press Enter to close: ";
// The progress readout: how much of how much, the speed (sizes as ByteSizeText writes them), and what is
// shown instead of the time remaining while files on disk are checked or the player has paused.
inline constexpr char AmountOfTotal[] = "{1} of {2}";
inline constexpr char Speed[] = "{1}/s";
inline constexpr char VerifyingFiles[] = "Verifying files\u2026";
inline constexpr char Paused[] = "Paused";
inline constexpr char Pause[] = "Pause";
inline constexpr char Resume[] = "Resume";
inline constexpr char PauseKeyHint[] = "Press p to pause or resume.";
// The language choice, shown in the language of the user's own locale before a language is chosen.
inline constexpr char LanguagePrompt[] = "Please select the language for your download:";
inline constexpr char LanguageInputLine[] = "Language [1]: ";
inline constexpr char LanguageInvalidChoice[] = "Please enter a number from 1 to {1}.";
inline constexpr char Ok[] = "OK";
}  // namespace Message

#undef HALCYNE_SUPPORT_SENTENCE

// Every message id, as each catalog must translate them.
inline constexpr auto AllMessages = std::to_array<std::string_view>({
    Message::OneHourRemaining,
    Message::OneHourOneMinuteRemaining,
    Message::OneHourMinutesRemaining,
    Message::OneMinuteRemaining,
    Message::OneSecondRemaining,
    Message::UnexpectedError,
    Message::CalculatingTimeRemaining,
    Message::OutOfDiskSpace,
    Message::LaunchingDownloader,
    Message::OutOfMemory,
    Message::LaunchFailed,
    Message::ConnectionError,
    Message::DiskWriteError,
    Message::DownloaderTitle,
    Message::DownloaderErrorTitle,
    Message::HoursRemaining,
    Message::HoursOneMinuteRemaining,
    Message::HoursMinutesRemaining,
    Message::MinutesRemaining,
    Message::SecondsRemaining,
    Message::AlreadyRunning,
    Message::ConfigurationError,
    Message::NotPublished,
    Message::NotVerified,
    Message::NotEnoughSpace,
    Message::DataFolderUnusable,
    Message::Reconnecting,
    Message::Details,
    Message::DetailsWithLog,
    Message::Retry,
    Message::Close,
    Message::RetryPrompt,
    Message::AmountOfTotal,
    Message::Speed,
    Message::VerifyingFiles,
    Message::Paused,
    Message::Pause,
    Message::Resume,
    Message::PauseKeyHint,
    Message::LanguagePrompt,
    Message::LanguageInputLine,
    Message::LanguageInvalidChoice,
    Message::Ok,
});

}  // namespace halcyne::Updater
