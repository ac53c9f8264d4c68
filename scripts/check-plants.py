#!/usr/bin/env python3
"""Plants one-line faults, one at a time, and shows that the test covering
each fails with it. Usage: scripts/check-plants.py [build-dir]. Each file is
written back as it was after its plant, whatever happens; exits 1 when a plant
survives its test."""
import os, subprocess, sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))

# (file, text as it stands, planted text, the test that must fail)
PLANTS = [
    ("src/download/ResourceDownloader.cpp", "first != m_have || (whole >= 0 && m_earlier", "(whole >= 0 && m_earlier",
     "Download.WithoutRangesOrWithAChangedFileItStartsOver"),
    ("src/flash/PackageCheck.cpp", "local == central || (descriptor && local == 0)", "local == central || local == 0",
     "PackageCheck.LocalHeadersMustAgreeWithTheDirectory"),
    ("src/flash/PackageCheck.cpp", "whole = left == 0 && stream.avail_in == 0 && produced", "whole = produced",
     "PackageCheck.LocalHeadersMustAgreeWithTheDirectory"),
    ("src/flash/PackageCheck.cpp", "if (kernel == 0 || ramdisk == 0)", "if (kernel == 0)",
     "PackageCheck.RecoveryImageMustBeAWholeBootImage"),
    ("src/flash/FlashReadiness.cpp", '{"getprop(\\"ro.product.device\\")", "getprop(\\"ro.build.product\\")"}',
     '{"getprop(\\"ro.product.device\\")"}', "UpdaterScript.AssertedDevicesInScriptOrder"),
    ("src/util/Utils.cpp", "CompareFileTime(&created, &time) < 0", "CompareFileTime(&created, &time) > 0",
     "AdbRunner.ATimedOutCommandEndsOnlyWhatItStarted"),
    # The faults the real adb client found, and those of the downloads and the flash steps.
    ("src/adb/AdbDevice.cpp", "LsPresence(m_lastOutput.empty() ? m_lastError : m_lastOutput, devicePath)",
     "LsPresence(m_lastOutput, devicePath)", "RecoveryFlash.APhoneWithTheShellProtocolIsUnderstood"),
    ("src/device/DeviceChecker.cpp", 'state == L"unauthorized" || state == L"authorizing"', 'state == L"unauthorized"',
     "DeviceCheck.AnOfflinePhoneGetsOneServerRestart"),
    ("src/adb/AdbDevice.cpp", "        if (RemoteFilePresence(serial, devicePath) == RemotePresence::Absent) return true;\n",
     "        return true;\n", "Tasks.ASlowPushShowsItsProgressAndAStopEndsItAtOnce"),
    ("src/adb/AdbDevice.cpp", "return onPhone == size;", "return onPhone >= 0;",
     "RomFlash.APushCountsOnlyWhenThePhoneHoldsTheFile"),
    ("src/flash/FlashSequence.cpp", "return step == 0 || CAdbManager", "return true || CAdbManager",
     "Tasks.AFailureOfItsOwnIsToldWithAStopPending"),
    ("src/flash/FlashReadiness.cpp", "+ (imageBytes > 0 ? imageBytes : 0) + kSpaceMarginBytes;", "+ kSpaceMarginBytes;",
     "FlashStart.TheCardMustHoldThePackage"),
    ("src/download/HttpExchange.cpp", "return ParseLength(buf);", "return static_cast<int>(ParseLength(buf));",
     "Download.ALengthPast2GiBIsResumed"),
    ("src/download/ResourceDownloader.cpp", "m_have = m_earlier.url == FileName() &&", "m_have = true &&",
     "Download.WithoutRangesOrWithAChangedFileItStartsOver"),
    ("src/download/ResourceDownloader.cpp", "(t.stopped ? m_stop.ForExit() : !t.whole)", "(t.stopped ? false : !t.whole)",
     "Tasks.DownloadBringsTheImageAndThePackageAndAFailureKeepsTheEarlierFile"),
    # What a network attacker could hand out: the signed answer, the file it names, the TLS connection.
    ("src/download/ServiceAnswer.cpp", "if (!VerifyRsaSha256(key, signedBytes,", "if (false && !VerifyRsaSha256(key, signedBytes,",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "if (v[kPhonemode] != asked.phonemode) return", "if (false) return",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ResourceDownloader.cpp", "const bool checksumFailed = t.whole && !m_sums->Match();",
     "const bool checksumFailed = false;", "Download.FailureLeavesTheEarlierFileAsItWas"),
    ("src/download/HttpExchange.cpp", "if (url.secure && ended.compare(", "if (false && ended.compare(",
     "Https.DownloadsOnlyFromATrustedServer"),
    ("src/download/HttpExchange.cpp", "    case ERROR_INTERNET_SEC_CERT_REV_FAILED:\n", "",
     "Https.DownloadsOnlyFromATrustedServer"),
    # The phone named in every command, and every answer read exactly.
    ("src/adb/AdbDevice.cpp", "return RunAdbCommand(kVerbShell, command, m_commandLimitMs, WaitWatch(), serial);",
     "return RunAdbCommand(kVerbShell, command, m_commandLimitMs, WaitWatch(), CSerial::OnlyDevice());",
     "Tasks.FlashInBothModes"),
    ("src/app/Tasks.cpp", "!RemoveRecoveryScripts(serial) || !RemoveEarlierCopies(serial)", "!RemoveRecoveryScripts(serial)",
     "Tasks.FlashInBothModes"),
    ("src/adb/AdbOutput.cpp", "if (!IsIsoDate(tokens[i]) && !IsMonthDate(tokens, i)) continue;",
     "if (!IsIsoDate(tokens[i])) continue;", "AdbDevice.PushFailsWithoutWordsOnStandardOutput"),
    ("src/adb/AdbOutput.cpp", "if (before == L' ' || before == L'/') return size;", "if (before == L' ') return size;",
     "AdbOutputReading.LsLongSizeAndEchoedStatus"),
    ("src/adb/AdbManager.h", "m_lastRun == RunResult::Finished && m_lastStatus == 0; }",
     "m_lastRun == RunResult::Finished && m_lastStatus <= 0; }", "AdbDevice.RootCheck"),
    ("src/adb/AdbManager.cpp", "WriteTextFile(batchPath, kForgetErrorLevelVariable + WideToOem(line)",
     "WriteTextFile(batchPath, WideToOem(line)", "AdbDevice.RootCheck"),
    ("src/adb/AdbDevice.cpp", "if (m_lastRun == RunResult::Finished && PhoneHasLeft(state, m_lastError)) return true;",
     "if (m_lastRun == RunResult::Finished && state != L\"device\") return true;",
     "RomFlash.TheRebootCountsOnlyWhenThePhoneLeaves"),
    ("src/adb/AdbDevice.cpp", "if (RemoteFilePresence(serial, devicePath) == RemotePresence::Absent) return true;",
     "if (RemoteFilePresence(serial, devicePath) != RemotePresence::Present) return true;",
     "RomFlash.ARemovalCountsOnlyWhenThePhoneSaysSo"),
    ("src/adb/AdbOutput.cpp", "        if (!inValue) {\n", "        if (true) {\n",
     "AdbOutputReading.PropertyListsOfToolboxAndToybox"),
    ("src/adb/AdbDevice.cpp", "const std::vector<std::wstring> parts = SplitAtSeparator(output, separator);\n    if (parts.size() != 2) return reading;",
     "std::vector<std::wstring> parts = SplitAtSeparator(output, separator);\n    parts.resize(2);",
     "DeviceCheck.OnlyAnIdentifiedRecordOfTheSameDeviceIsKept"),
    ("src/adb/AdbPort.cpp", "        ioctlsocket(s, FIONBIO, &nonBlocking);\n", "",
     "AdbPort.AHolderThatTakesNoConnectionHoldsTheProbeUpNoLonger"),
    # What was signed, fresh and exact, and checked wherever it is used.
    ("src/download/ServiceAnswer.cpp", "DecodeUtf8Exactly(signedBytes, signedText)", "DecodeUtf8Exactly(document, signedText)",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "const size_t open = document.find(kSignatureOpen);\n    const size_t start",
     "const size_t open = document.rfind(kSignatureOpen);\n    const size_t start", "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "if (v[kPhonemode] != asked.phonemode)",
     "if (!v[kPhonemode].empty() && v[kPhonemode] != asked.phonemode)", "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/SignedRecords.cpp", "r.size = size >= 1 ? size : -1;", "r.size = size >= 0 ? size : -1;",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "(asked.nonce.empty() || v[kNonce] != asked.nonce)", "false",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", 'if (v[kStatus] != L"ok")', "if (false)",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/util/XmlDocument.cpp", "if (seen[i] || !child.children.empty()) return false;",
     "if (!child.children.empty()) return false;", "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ResourceDownloader.cpp", " || (m_earlier.total >= 0 && m_earlier.total != m_expected.size)) &&", ") &&",
     "Download.AWholeOrAnUnwritablePartStartsOverCleanly"),
    ("src/download/ResourceDownloader.cpp", "if (hashed == HashResult::Done && sums.Match()) {", "if (hashed == HashResult::Done) {",
     "Download.AWholeOrAnUnwritablePartStartsOverCleanly"),
    ("src/download/HttpExchange.cpp", "    case ERROR_INTERNET_SEC_CERT_CN_INVALID:\n", "",
     "Https.DownloadsOnlyFromATrustedServer"),
    ("src/download/HttpExchange.cpp", 'ended.compare(0, 8, L"https://") != 0', 'ended.find(L"https://") == std::wstring::npos',
     "Https.DownloadsOnlyFromATrustedServer"),
    ("src/flash/RecoveryFlasher.cpp", "if (PathExists(path) && !downloader->HoldsSignedFile(", "if (false && !downloader->HoldsSignedFile(",
     "Tasks.FailedFlashesSayWhy"),
    ("src/download/ResourceDownloader.cpp", "same = HashFile(path, named.file.size, sums, stop) == HashResult::Done && sums.Match();",
     "same = true;", "RecoveryFlash.ImagesThatAreNoBootImageAreDeletedAndFail"),
    ("src/util/Utils.cpp", "return SurvivesCodePage(CP_OEMCP, text) && SurvivesCodePage(CP_ACP, text); }",
     "return SurvivesCodePage(CP_OEMCP, text); }", "WesternSystem.APathGoesWholeOnlyWhereBothCodePagesCarryIt"),
    # Any phone the service knows; PCs with a proxy and an emulator.
    ("src/app/Tasks.cpp", "    if (result == kCheckUnsupported && catalogue) {\n", "    if (false) {\n",
     "Flow.APhoneOfTheServicesCatalogueIsKnownFromTheFirstCheck"),
    ("src/download/CatalogueService.cpp", "if (fetched.version < keptVersion || (fetched.version", "if ((fetched.version",
     "Download.TheCatalogueIsKeptAndNeverRolledBack"),
    ("src/device/CatalogueText.cpp", 'if (model.brands.empty()) return L"no <brand>";', "",
     "Catalogue.ReadExactlyOrRefusedWhole"),
    ("src/flash/RecoveryFlasher.cpp", "if (!NeedsRecoveryImage(*catalogue, modelId)) return nullptr;",
     "if (!catalogue->Has(modelId)) return nullptr;", "Tasks.EachPhoneOfTheCatalogueFlashesByItsOwnRow"),
    ("src/flash/Kestrelbox.cpp", "return kind == ScriptKind::OpenRecoveryScript ? L\"/cache/recovery/openrecoveryscript\" :", "return false ? L\"\" :",
     "Tasks.EachPhoneOfTheCatalogueFlashesByItsOwnRow"),
    ("src/download/ResourceDownloader.cpp", "proxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_PRECONFIG;",
     "proxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_DIRECT;", "Tasks.DownloadBringsTheImageAndThePackageAndAFailureKeepsTheEarlierFile"),
    ("src/download/HttpExchange.cpp", "INTERNET_OPEN_TYPE_PRECONFIG", "INTERNET_OPEN_TYPE_DIRECT", "Tasks.DownloadBringsTheImageAndThePackageAndAFailureKeepsTheEarlierFile"),
    ("src/adb/AdbOutput.cpp", "if (IsEmulatorSerial(device.serial)) aside.push_back(device.serial);", "if (false) aside.push_back(device.serial);",
     "DeviceCheck.SeveralDevicesAreSeenInTheListAlone"),
    ("src/adb/AdbOutput.cpp", "    if (phones.empty()) {\n        aside.clear();\n        return devices;\n    }\n", "",
     "DeviceCheck.SeveralDevicesAreSeenInTheListAlone"),
    # The download and the phone's name under faults.
    ("src/download/ResourceDownloader.cpp", "m_expected.size >= 0 ? m_expected.size - m_have : -1);", "-1);",
     "Download.FetchRomOfAFastTransferReports0And10And100"),
    ("src/adb/AdbManager.cpp", 'kPushPollLimitMs, watch, L"poll.bat", serial);', 'kPushPollLimitMs, watch, L"poll.bat", CSerial::OnlyDevice());',
     "Tasks.ASlowPushShowsItsProgressAndAStopEndsItAtOnce"),
    ("src/adb/AdbManager.cpp", "if (c == L'\"' || c < 0x20) return false;", "if (c < 0x20) return false;",
     "AdbCommandLine.PercentSignsAreDoubledForTheBatchFile"),
    ("src/adb/AdbOutput.cpp", "return SmallNumber(day, 2) >= 0 &&", "return SmallNumber(day, 1) >= 0 &&",
     "AdbOutputReading.LsLongSizeAndEchoedStatus"),
    ("src/adb/AdbDevice.cpp", "(m_lastStatus == 0 ? ShellExitStatus(output) : -1)", "(m_lastStatus <= 0 ? ShellExitStatus(output) : -1)",
     "RecoveryFlash.AToolThatCannotBeMadeExecutableIsNotRun"),
    ("src/adb/AdbOutput.cpp", 'L"offline", L"recovery", L"bootloader"', 'L"offline", L"bootloader"',
     "RomFlash.TheRebootCountsOnlyWhenThePhoneLeaves"),
    ("src/flash/FlashReadiness.cpp", "else if (report.freeBytes < report.neededBytes) return verdict(Readiness::NoSpace);",
     "else if (report.freeBytes <= report.neededBytes) return verdict(Readiness::NoSpace);", "FlashStart.TheCardMustHoldThePackage"),
    ("src/flash/FlashReadiness.cpp", "if (packageBytes >= kFatFileLimitBytes) {", "if (false) {", "FlashStart.TheCardMustHoldThePackage"),
    ("src/flash/FlashSequence.cpp", "return step == 0 || CAdbManager", "return CAdbManager", "RecoveryFlash.StopBeforeFlash"),
    ("src/device/UsbProbe.cpp", "(device.configFlags & kFailedInstall) || p == 1 || p == 10 ||", "p == 1 ||",
     "UsbProbe.WhatIsPluggedInSaysWhyNoPhoneAnswers"),
    ("src/download/ResourceDownloader.cpp", "if (m_expected.size >= 0 && free >= 0 && free < needed) {", "if (false) {",
     "SmallVolume.NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly"),
    ("src/download/ResourceDownloader.cpp", 'if (!m_expected.sha256.empty()) m_identity.validator = L"sha256:" + m_expected.sha256;', "",
     "Tasks.DownloadBringsTheImageAndThePackageAndAFailureKeepsTheEarlierFile"),
    ("src/adb/AdbPort.cpp", "WaitForSocket(s, false, deadline, stop)", "WaitForSocket(s, false, GetTickCount() + kPortProbeLimitMs, stop)",
     "AdbPort.AHolderThatTakesNoConnectionHoldsTheProbeUpNoLonger"),
    ("src/app/Tasks.cpp", "return image == DownloadOutcome::Ok ? kTaskDownloaded : kTaskImageDownloadFailed;", "return kTaskDownloaded;",
     "Tasks.DownloadBringsTheImageAndThePackageAndAFailureKeepsTheEarlierFile"),
    ("src/adb/AdbOutput.cpp", "size_t gap = line.find(L'\\t');", "size_t gap = line.find(L' ');",
     "AdbOutputReading.DeviceListAndConnectionErrors"),
    ("src/adb/AdbManager.cpp", "+ std::wstring(trailing, L'\\\\') + L\"\\\"\";", "+ L\"\\\"\";", "Tasks.FlashInBothModes"),
    # The catalogue's phones as safe as the built-in four; the last round's faults.
    ("src/flash/Kestrelbox.cpp", "    if (!catalogue->Has(modelId)) return nullptr;\n", "    if (!catalogue->Has(modelId) || modelId > 11) return nullptr;\n",
     "Tasks.EachPhoneOfTheCatalogueFlashesByItsOwnRow"),
    ("src/app/Tasks.cpp", "    if (!package) return kTaskUnsupported;", "",
     "Tasks.AFlashThatCannotFinishDoesNotStart"),
    ("src/device/DeviceChecker.cpp", "    record->Identify(catalogue);", "    if (record->GetModelId() < 0) record->Identify(catalogue);",
     "Tasks.EachPhoneOfTheCatalogueFlashesByItsOwnRow"),
    ("src/app/MainDlg.cpp", "const int id = record->Identify(*m_catalogues.Current());", "const int id = record->Identify(*BuiltInRows());",
     "Flow.ACatalogueLaterThanTheFirstCheckIdentifiesThePhoneShownWithoutACommand"),
    ("src/download/CatalogueService.cpp", "keptVersion >= 0 && keptVersion >= inUseVersion", "keptVersion >= 0 && keptVersion > inUseVersion",
     "Download.TheCatalogueIsKeptAndNeverRolledBack"),
    ("src/flash/Kestrelbox.cpp", " &&\n           RemoveRecoveryScript(serial, ScriptKind::OpenRecoveryScript);", ";",
     "Tasks.FailedFlashesSayWhy"),
    ("src/download/ResourceDownloader.cpp", "if (m_have < 0 && PathExists(m_partPath) && !DropPart(", "if (false && !DropPart(",
     "SmallVolume.NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly"),
    ("src/download/ResourceDownloader.cpp", "const long long needed = m_expected.size - m_have,", "const long long needed = m_expected.size,",
     "SmallVolume.NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly"),
    ("src/app/Tasks.cpp", 'L"磁盘" + VolumeOf(shortage.target) + L"空间不足', 'L"磁盘空间不足',
     "SmallVolume.NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly"),
    ("src/download/ServiceAnswer.cpp", "CryptGenRandom(provider, sizeof(bytes), bytes)", "CryptGenRandom(provider, 2, bytes)",
     "Download.QuerySendsTheDocumentAsTheServiceExpects"),
    # What the phone booted, followed by its serial.
    ("src/flash/InstallFollower.cpp", "if (device.serial == m_serial.Text()) state = device.state;", "state = device.state;",
     "Tasks.AFlashEndsWithWhatThePhoneBooted|Tasks.AFailedOrRepeatedInstallIsToldByTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "std::min<unsigned long>(m_pollMs, m_waitMs - waited)", "std::min<unsigned long>(m_pollMs / 8, m_waitMs - waited)",
     "Tasks.AFlashWhosePhoneRunsNoSystemSaysWhereItIs"),
    ("src/flash/PackageCheck.cpp", ": entry.name == kBuildProp   ? &found.buildProp", ": entry.name == kBuildProp   ? nullptr",
     "PackageCheck.WhatRealToolsWriteIsAccepted"),
    ("src/app/Tasks.cpp", "    case InstallVerdict::NotBack: return kTaskNotBack;\n", "    case InstallVerdict::NotBack: return kTaskFlashed;\n",
     "Tasks.AFlashWhosePhoneRunsNoSystemSaysWhereItIs"),
    # The service (its own build, native tests).
    ("service/src/Server.cpp", "std::min<long long>(left, m_options.readTimeoutMs)", "std::min<long long>(left + 100000, m_options.readTimeoutMs)",
     "Service.SlowClientsAreCutWhile256OthersAreAnswered"),
    ("service/src/Server.cpp", "(ifRange.empty() || ifRange == etag)", "true", "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/Server.cpp", "[](httplib::Request& req) { req.ranges.clear(); }", "nullptr",
     "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/Answer.cpp", "q.nonce.size() < 16 ||", "", "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/Store.cpp", "if (entry->d_name[0] != '.') unlink(", "if (false) unlink(",
     "Service.AKilledPublishLeavesTheReleaseBeforeItWholeAndNoLock"),
    ("service/src/Store.cpp", "if (rows.find(kSignatureOpen) != std::string::npos) {", "if (false) {",
     "Service.ACatalogueIsCheckedByTheProgramsRulesThenSignedOneVersionUp"),
    ("service/src/Crypto.cpp", "O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600", "O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644",
     "Service.KeygenMakesWhatTheProgramTakesAndNeverReplacesAKey"),
    ("service/deploy/nginx.conf", "http_502 http_503 non_idempotent;", "http_502 http_503;",
     "Service.BehindTheShippedNginxAQueryOutlivesItsServeProcessAndFilesResume"),
    # The root chooses what is installed; the online key only proves freshness.
    ("src/download/ServiceAnswer.cpp", "ReadReleaseRecord(DecodeBase64(WideToUtf8(v[kRelease])), key,",
     "ReadReleaseRecord(DecodeBase64(WideToUtf8(v[kRelease])), onlineKey,", "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "return TodayUtc() > until ?", "return false ?",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ResourceDownloader.cpp", "if (named.version < seen.Newest(", "if (named.version < 0 * seen.Newest(",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "if (VerifySignedText(record, key, text) != AnswerCheck::Verified || !ReadReleaseText(text, read))",
     "if (!ReadReleaseText(text = Utf8ToWide(record.substr(0, record.find(kSignatureOpen))), read))",
     "RecoveryFlash.ImagesThatAreNoBootImageAreDeletedAndFail"),
    ("service/src/main.cpp", "if (certified != key.PublicDer())", "if (false)",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    ("service/src/Store.cpp", "r.version = last == Lookup::Found ? before.version + 1 : 1;", "r.version = 1;",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    # What the root signs ends, names its places, and withdraws online keys.
    ("src/download/ServiceAnswer.cpp", "if (TodayUtc() > read.until) return AnswerCheck::RecordEnded;", "",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "if (chosen == out.places.end()) return AnswerCheck::OtherPlace;", "",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/ServiceAnswer.cpp", "if (asked.catalogue && asked.catalogue->Withdrew(", "if (false && asked.catalogue->Withdrew(",
     "Download.TheCatalogueIsKeptAndNeverRolledBack"),
    ("src/device/ModelCatalogue.cpp", "    return HasEnded(*m_current) ? m_afterEnd : m_current;\n}\n\nCatalogueRef CCatalogueHolder::Use",
     "    return m_current;\n}\n\nCatalogueRef CCatalogueHolder::Use", "Download.TheCatalogueIsKeptAndNeverRolledBack"),
    ("src/device/CatalogueText.cpp", "if (!IsCalendarDate(read.until = v[1]))", "if (!(read.until = v[1]).size())",
     "Catalogue.ReadExactlyOrRefusedWhole"),
    ("service/src/main.cpp", "if (until > UtcDate(kCertifyMostDays))", "if (false)",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    ("service/src/Store.cpp", "        if (r.until < endsBefore) {", "        if (false) {",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    ("service/src/Store.cpp", "        r.until = until;\n        r.signedRecord", "        r.version++;\n        r.until = until;\n        r.signedRecord",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    ("src/download/CatalogueService.cpp", "const size_t kMaxCatalogueBytes = 16 << 20;", "const size_t kMaxCatalogueBytes = 1 << 20;",
     "Download.TheCatalogueIsKeptAndNeverRolledBack"),
    ("src/download/ServiceAnswer.cpp", "        bits < kLeastKeyBits)", "        bits < 1000)",
     "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    # The verdict after a flash.
    ("src/flash/InstallFollower.cpp", "if (reading.read && now.booted && IsTheFlashedPhone(m_before, now)) {",
     "if (reading.read && IsTheFlashedPhone(m_before, now)) {", "Tasks.AFlashEndsWithWhatThePhoneBooted|Tasks.AFailedOrRepeatedInstallIsToldByTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "return now.serialno == before.serialno && now.device == before.device &&",
     "return now.serialno == before.serialno &&", "InstallVerdict.FromTheReadingsThePackageAndTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "if (scriptLeft) return InstallVerdict::ScriptNotRun;", "",
     "Tasks.AFlashEndsWithWhatThePhoneBooted|Tasks.AFailedOrRepeatedInstallIsToldByTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "if (GetTickCount() - unauthorizedSince >= kUnauthorizedMs)", "if (true)",
     "Tasks.AFlashWhosePhoneRunsNoSystemSaysWhereItIs"),
    ("src/flash/InstallFollower.cpp", "if (was) adb->Shell(m_serial, std::wstring(L\"rm \") + kLastInstall);", "",
     "Tasks.AFlashEndsWithWhatThePhoneBooted|Tasks.AFailedOrRepeatedInstallIsToldByTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "lines.size() >= 2 ? Trimmed(lines[1])", "lines.size() >= 2 ? Trimmed(lines.back())",
     "InstallVerdict.FromTheReadingsThePackageAndTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "(before.date != wanted || log == InstallLog::Succeeded)", "(true)",
     "InstallVerdict.FromTheReadingsThePackageAndTheRecoverysWord"),
    ("src/flash/InstallFollower.cpp", "if (scriptLeft && !RemoveRecoveryScripts(m_serial))", "if (false)",
     "Tasks.AFlashEndsWithWhatThePhoneBooted|Tasks.AFailedOrRepeatedInstallIsToldByTheRecoverysWord"),
    ("src/app/Tasks.cpp", "        CDeviceChecker::GetInstance()->RecordAfresh(after, *catalogue);\n", "",
     "Flow.AFlashSaysDoneAndTheSessionLogHoldsItsCommands"),
    # The behaviours pinned with the identification function's return.
    ("src/download/ResourceDownloader.cpp", "m_shortage = DiskShortage{m_total >= 0 ? m_total :",
     "m_shortage = DiskShortage{m_total >= 0 ? m_total - m_have :", "SmallVolume.NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly"),
    ("src/device/ModelCatalogue.cpp", "    if (previous) made->m_rows = previous->m_rows;\n", "", "UrlRequest.DocumentByModelAndFlashType"),
    ("src/download/BackgroundFileWriter.cpp", "return err == ENOSPC ||", "return", "BackgroundFileWriter.AFailedWriteIsReported"),
    ("src/download/UrlQuery.cpp", "return SendPlainGet(h, url) > 0;", "return SendPlainGet(h, url) == 200;", "Download.ServiceConnectionCheck"),
    ("src/download/ResourceDownloader.cpp", "(Signed() ? L\"\" : L\"If-Range: \"", "(false ? L\"\" : L\"If-Range: \"",
     "Download.ABrokenLinkKeepsWhatArrivedAndTheNextAttemptAsksForTheRest"),
    ("src/flash/RecoveryFlasher.cpp", "if (!m_catalogue->Has(m_modelId)) return false;",
     "if (!m_catalogue->Has(CDeviceModel::GetInstance()->GetModelId())) return false;", "RecoveryFlash.FromTheServiceWhenNoLocalCopyExists"),
    ("src/device/DeviceModel.cpp", "    return BuiltInRows()->Find(brand, device);", "    return BuiltInRows()->Find(device, brand);",
     "BuiltInRows.WholeBrandAndDeviceOfOneRowWithoutCaseOrSurroundingWhitespace"),
    ("src/app/MainDlg.cpp", "    if (m_catalogueChangedMeanwhile) PostMessageW(m_hWnd, WM_CATALOGUE_CHANGED, 0, 0);\n", "",
     "Flow.ACatalogueThatArrivesDuringATaskIsTakenWhenTheTaskEnds"),
    # The service facing the internet.
    ("service/src/RequestGate.cpp", "        if (name == \"content-encoding\") return Status(415, requestLine);\n", "",
     "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/RequestGate.cpp", "if (lines >= limits.maxHeaderLines) return Status(431, requestLine);\n        const size_t colon",
     "const size_t colon", "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/RequestGate.cpp", "if (body.size() + static_cast<size_t>(size) > limits.maxBody) return Status(413, requestLine);",
     "", "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/Server.cpp", "m_perAddress[address] >= kMaxPerAddress || m_perPrefix", "m_perPrefix",
     "Service.SlowClientsAreCutAndOneAddressCannotKeepOthersOut"),
    ("service/src/Store.cpp", "    if (found == Lookup::Unreadable) {", "    if (false) {",
     "Service.ACatalogueIsCheckedByTheProgramsRulesThenSignedOneVersionUp"),
    ("service/src/Store.cpp", "bytes = ReadWhole(path, kMaxCatalogue);", "bytes = ReadWhole(path);",
     "Service.ACatalogueIsCheckedByTheProgramsRulesThenSignedOneVersionUp"),
    ("service/src/Crypto.cpp", "(st.st_mode & 077) != 0", "(st.st_mode & 022) != 0",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    ("service/src/Store.cpp", "for (const Release& r : releases) named.insert(r.file);", "", "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    # One connection one request; slots no crowd can hold; what is served verifies; prune's grace.
    ("service/src/RequestGate.cpp", "    if (chunked && sawLength) return Status(400, requestLine);\n", "",
     "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/RequestGate.cpp", "(sawLength && said != length)", "false", "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/Server.cpp", ">= kMaxConnections && !EvictIdlest())", ">= kMaxConnections)",
     "Service.SlowClientsAreCutAndOneAddressCannotKeepOthersOut"),
    ("service/src/Server.cpp", " || m_perPrefix[prefix] >= m_options.prefixShare", "",
     "Service.SlowClientsAreCutAndOneAddressCannotKeepOthersOut"),
    ("service/src/Store.cpp", "(!m_rootDer.empty() && !SignedBy(r.signedRecord, m_rootDer)))\n        return Lookup::Unreadable;",
     "false)\n        return Lookup::Unreadable;", "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    ("service/src/Store.cpp", "unnamedAt.count(name) ? unnamedAt[name] : 0", "0",
     "Service.TheRootSignsWhatIsInstalledAndServeOnlyHoldsACertifiedKey"),
    # An address's share given back: before the last answer, once, and only its own.
    ("service/src/Server.cpp", "const bool last = left == 1 || !answered || closed;", "const bool last = !answered || closed;",
     "Service.SlowClientsAreCutAndOneAddressCannotKeepOthersOut"),
    ("service/src/Server.cpp", "    open.counted = false;\n", "", "Service.SlowClientsAreCutAndOneAddressCannotKeepOthersOut"),
    ("service/src/Server.cpp", "if (--m_perAddress[open.address] == 0) m_perAddress.erase", "if (--m_perAddress[open.address] != 0) m_perAddress.erase",
     "Service.SlowClientsAreCutAndOneAddressCannotKeepOthersOut"),
    ("service/src/Store.cpp", "with --withdraw ONLINE.der\";\n        return false;", "with --withdraw ONLINE.der\";\n        return true;",
     "Service.ACatalogueIsCheckedByTheProgramsRulesThenSignedOneVersionUp"),
    ("service/src/Server.cpp", "        LogLine(client, req.method, req.target.empty() ? req.path : req.target, res.status, bytes, Elapsed());\n", "",
     "Service.EachRequestGetsItsAnswerAndBadInputAClearOne"),
    # Pieces: each checked on arrival, a kept map only of this very file, the demo's second place.
    ("src/download/PieceDownload.cpp", "same = Sha256Hex(bytes.data(), bytes.size()) == m_layout.pieces[piece];", "same = true;",
     "Download.PiecesComeFromEveryPlaceAndAPlaceThatErrsIsDropped"),
    ("src/download/PieceDownload.cpp", "text.substr(0, newline) != MapIdentity(layout) ||", "",
     "Download.PiecesComeFromEveryPlaceAndAPlaceThatErrsIsDropped"),
    ("scripts/with-mirq-service.sh", "listen 127.0.0.1:8091;", "listen 127.0.0.1:8092;",
     "RoundTrip.PublishedServedDownloadedAndFlashedWithMirqServicesKey"),
    ("src/download/SignedRecords.cpp", "(r.pieceSize < kLeastPieceSize || r.pieceSize > kMostPieceSize)",
     "r.pieceSize < kLeastPieceSize", "Download.OnlyAnAnswerSignedForThisPhoneAndFileIsFollowed"),
    ("src/download/PieceDownload.cpp", "const int sender = one ? state.from[0] : -1;", "const int sender = state.from[0];",
     "PiecePicker.APieceNamesItsPlaceOnlyWhenOnePlaceSentItAll"),
    ("src/download/PieceDownload.cpp", "(pass == 2 && (piece.onePlace || piece.owner == place))", "(pass == 2 && piece.owner == place)",
     "PiecePicker.APieceNamesItsPlaceOnlyWhenOnePlaceSentItAll"),
    ("src/download/PieceDownload.h", "!m_have[part.piece] && piece.round == part.round &&", "!m_have[part.piece] &&",
     "PiecePicker.APieceNamesItsPlaceOnlyWhenOnePlaceSentItAll"),
    ("src/download/PieceDownload.cpp", "        AllowConnectionsPerServer(kMaxConnections + 2);", "",
     "Download.PiecesComeFromEveryPlaceAndAPlaceThatErrsIsDropped"),
    ("src/download/PieceDownload.cpp", "m_diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;", "m_diskFull = false;",
     "SmallVolume.NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly"),
    ("src/download/PieceDownload.cpp", "        if (m_have[i] || piece.checking) continue;\n", "        if (m_have[i]) continue;\n",
     "PiecePicker.APieceNamesItsPlaceOnlyWhenOnePlaceSentItAll"),
]


SERVICE_BUILD = os.path.join(ROOT, "build-service")


def run_service_test(name):
    if subprocess.run(["cmake", "--build", SERVICE_BUILD], stdout=subprocess.DEVNULL).returncode != 0:
        return 0  # not built: nothing caught
    return subprocess.run(["ctest", "--test-dir", SERVICE_BUILD, "-R", "^%s$" % name.replace(".", "\\.")],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def run_test(name):
    script = ('source scripts/wine-session.sh "$0"; cd "$0" && ctest --output-on-failure -R "^(%s|service\\..*)$"; '
              'rc=$?; wine_session_end; exit $rc' % name.replace(".", "\\."))
    return subprocess.run(["bash", "-c", script, BUILD], cwd=ROOT, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode


def main():
    survived = 0
    # MIRQ_PLANTS=N-M runs the plants N to M alone (0-based), for a quick look at new ones.
    first, _, last = os.environ.get("MIRQ_PLANTS", "0-%d" % (len(PLANTS) - 1)).partition("-")
    chosen = PLANTS[int(first):int(last or first) + 1]
    for path, text, planted, test in chosen:
        full = os.path.join(ROOT, path)
        with open(full, encoding="utf-8") as f:
            original = f.read()
        if original.count(text) != 1:
            print("PLANT %s: the text to plant in is not there once: %s" % (path, text))
            survived += 1
            continue
        try:
            with open(full, "w", encoding="utf-8") as f:
                f.write(original.replace(text, planted))
            if path.startswith("service/"):
                caught = run_service_test(test) != 0
            else:
                built = subprocess.run(["cmake", "--build", BUILD, "-j", "2"], stdout=subprocess.DEVNULL).returncode == 0
                caught = built and run_test(test) != 0
        finally:
            with open(full, "w", encoding="utf-8") as f:
                f.write(original)
        print("PLANT %s: %s -> %s: %s by %s" % (path, text, planted, "caught" if caught else "NOT CAUGHT", test))
        survived += not caught
    subprocess.run(["cmake", "--build", BUILD, "-j", "2"], stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", SERVICE_BUILD], stdout=subprocess.DEVNULL)
    print("%d passed, %d failed" % (len(chosen) - survived, survived))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
