// Command ids of the menus, as the resources number them.
#pragma once

namespace orvikdesk::cmd {

enum : int {
    Back = 32771,
    Forward = 32772,
    Home = 32773,
    Open = 32774,
    Export = 32775,
    Delete = 32776,
    Refresh = 32778,
    CrlCheck = 32779,
    Properties = 32780,
    Import = 32782,
    LargeIcons = 32784,
    SmallIcons = 32785,
    List = 32786,
    Details = 32787,
    TrayOpen = 32797,
    Configuration = 32799,
    ChangeBackupPassword = 32800,
    HelpFile = 32802,
    ImportFromLdap = 32807,
    CheckForUpdates = 32810,
    // The mail page's own view items, beside the menu bar's.
    MailLargeIcons = 32813,
    MailSmallIcons = 32814,
    MailDetails = 32815,
    Encrypt = 32817,
    Decrypt = 32818,
    MailOpen = 32819,
    MailConfigure = 32821,
    MailRefresh = 32822,
    MailBack = 32823,
    HomePage = 32829,
    FileConfigure = 32830,
    WebRefresh = 32835,
    BatchConfigure = 32836,
    BatchConfigureMain = 32838,
    // The thumbprint of the selected certificate to the clipboard; the program's own command.
    CopyThumbprint = 33001,
    // Contacts from a vCard file into the address book, and Foxmail's folder chosen by hand.
    ImportVCard = 33002,
    FoxmailFolder = 33003,
    // The user's trust in the selected authority: trusted, or distrusted.
    Trust = 33020,
    Distrust = 33021,
    // Outlook Express accounts from a .reg file exported on Windows.
    ImportRegFile = 33004,
    AppAbout = 57664,
    AppExit = 57665,
    TrayHelp = 57667,
    PageHelp = 57670,
};

}  // namespace orvikdesk::cmd
