@echo off
rem Plays every example page into the running preview, in order, one every four
rem seconds. Start vantrel-preview.exe first. Options go on to vantrel-send.exe
rem (play.cmd --port 6868, say; vantrel-send.exe --help lists them).
"%~dp0vantrel-send.exe" --pause 4000 %* "%~dp0examples\*.json"
