@echo off
rem The guest side of chanpipe's channel self-test, for Windows guests.
rem
rem   chanpipe-selftest NAME
rem
rem Start chanpipe-selftest-host.py on the host first (or at any time: the
rem first message waits for it). This script runs a fixed sequence of
rem chanpipe runs on the channel NAME and sends back everything it receives;
rem the host checks it and gives the verdict. It needs cmd.exe and
rem chanpipe.exe only (Windows XP will do): chanpipe.exe from %%CHANPIPE%%,
rem next to this script, or on the PATH, in that order. Its files go to
rem %%TEMP%%\chanpipe-selftest.
rem
rem Exit status: 0 the sequence ran (the verdict is the host's), 2 usage or
rem no chanpipe.exe, 3 chanpipe may not open the port (it says so, and tells
rem the host when it can), 4 the host side was gone (its writes kept failing).
rem
rem It reads step for step like chanpipe-selftest.sh, the Linux guest side:
rem the main part first, then the helpers, with the same names. Written for
rem Wine's cmd.exe as well as Windows': no redirection of parenthesized
rem blocks, no blocks inside loops, no !VAR:x=y!.
setlocal enableextensions enabledelayedexpansion
set VERSION=2
set MAGIC=chanpipe-selftest
rem How many times the first message to the host is tried, a pause apart,
rem while it fails (about ten minutes); later ones GIVE_UP_TRIES times
rem (about two minutes).
set SEND_TRIES=200
set GIVE_UP_TRIES=40
set "STOP="

if "%~1"=="" (
  echo usage: chanpipe-selftest NAME 1>&2
  exit /b 2
)
set "NAME=%~1"

set "CP=!CHANPIPE!"
set "HOW=from CHANPIPE"
if defined CP goto have_cp
set "CP=%~dp0chanpipe.exe"
set "HOW=next to the script"
if exist "!CP!" goto have_cp
set "HOW=from the PATH"
for %%P in (chanpipe.exe) do set "CP=%%~$PATH:P"
if defined CP goto have_cp
echo chanpipe-selftest: no chanpipe.exe: set CHANPIPE, or put chanpipe.exe next to this script or on the PATH 1>&2
exit /b 2
:have_cp
echo chanpipe-selftest %VERSION%: channel %NAME%, chanpipe !CP! (!HOW!)
set "D=%TEMP%\chanpipe-selftest"
if not exist "%D%" md "%D%"
if exist "%D%" goto have_dir
echo chanpipe-selftest: cannot make %D% 1>&2
exit /b 2
:have_dir
type nul > "%D%\runs.txt"

rem The name in another letter case: upper case, or lower case when it
rem already is. cmd's replacement ignores case, so replacing each letter by
rem itself in upper case gives the upper case.
set "OTHER=%NAME%"
for %%L in (A B C D E F G H I J K L M N O P Q R S T U V W X Y Z) do call set "OTHER=%%OTHER:%%L=%%L%%"
if not "%OTHER%"=="%NAME%" goto other_done
for %%L in (a b c d e f g h i j k l m n o p q r s t u v w x y z) do call set "OTHER=%%OTHER:%%L=%%L%%"
:other_done

set "OSV=Windows"
for /f "delims=" %%V in ('ver') do set "OSV=%%V"
> "%D%\msg.txt" echo %MAGIC% %VERSION% hello
>> "%D%\msg.txt" echo os !OSV! %PROCESSOR_ARCHITECTURE% %PROCESSOR_ARCHITEW6432%
>> "%D%\msg.txt" echo chanpipe !CP! (!HOW!)
>> "%D%\msg.txt" echo shell cmd
>> "%D%\msg.txt" echo other-case %OTHER%
>> "%D%\msg.txt" echo end
call :send hello
if defined STOP goto stopped

for %%I in (1 2 3 4 5 6 7) do call :step echo%%I
if defined STOP goto stopped

rem A name that differs only in letter case is another name.
if not "%OTHER%"=="%NAME%" goto name_run
call :note name.r skip
goto name_done
:name_run
"!CP!" r "%OTHER%" < nul > nul 2> "%D%\name.err"
call :note name.r %ERRORLEVEL% name.err always
:name_done

rem The host sends while the port is closed, before chanpipe r starts.
call :msg ready first
call :pause
call :receive first
if defined STOP goto stopped

rem The host goes away; this write starts without it.
call :msg ready nohost
if defined STOP goto stopped
call :pause
> "%D%\nohost.txt" echo %MAGIC% %VERSION% nohost
>> "%D%\nohost.txt" echo end
"!CP!" w "%NAME%" < "%D%\nohost.txt" 2> "%D%\nohost.err"
call :note nohost.w %ERRORLEVEL% nohost.err always

> "%D%\msg.txt" echo %MAGIC% %VERSION% report
type "%D%\runs.txt" >> "%D%\msg.txt"
>> "%D%\msg.txt" echo end
call :send report
if defined STOP goto stopped

rem The local summary: the verdict is the host's.
set TOTAL=0
set "BAD="
for /f "usebackq tokens=1-3" %%A in ("%D%\runs.txt") do if "%%A"=="run" call :count %%B %%C
if defined BAD echo chanpipe-selftest: %TOTAL% chanpipe runs; not as expected:%BAD%
if not defined BAD echo chanpipe-selftest: %TOTAL% chanpipe runs; all ended as expected
echo chanpipe-selftest: the host side has the verdict
exit /b 0

:stopped
exit /b %STOP%

rem count LABEL STATUS: one run for the local summary.
:count
set /a TOTAL+=1
if "%2"=="0" exit /b
if "%1 %2"=="name.r 2" exit /b
if "%2"=="skip" exit /b
set "BAD=%BAD% %1"
exit /b

rem step LABEL: the host is told that chanpipe r comes, then it runs.
:step
if defined STOP exit /b
call :msg ready %1
call :receive %1
exit /b

rem msg WORD ARG...: a one-line message to the host.
:msg
> "%D%\msg.txt" echo %MAGIC% %VERSION% %*
>> "%D%\msg.txt" echo end
call :send %1.%2
exit /b

rem send LABEL: msg.txt to the host. A write that fails (a driver that fails
rem writes while no host is there) is tried again after a pause: the first
rem message SEND_TRIES times, for about ten minutes, later ones
rem GIVE_UP_TRIES times (longer under Wine, whose pause is longer).
:send
if defined STOP exit /b
set TRIES=0
set MOST=%GIVE_UP_TRIES%
if "%1"=="hello" set MOST=%SEND_TRIES%
:send_again
"!CP!" w "%NAME%" < "%D%\msg.txt" 2> "%D%\msg.err"
set RC=%ERRORLEVEL%
if "%RC%"=="0" goto send_done
call :denied w %RC% msg.err
if defined STOP exit /b
set /a TRIES+=1
if %TRIES% geq %MOST% goto send_gone
set /a NTH=TRIES %% 20
if "%NTH%"=="1" echo chanpipe-selftest: chanpipe w %NAME% failed with status %RC%, trying again every 3 s 1>&2
call :pause
goto send_again
:send_gone
echo chanpipe-selftest: no host side on %NAME%: %TRIES% writes failed, the last with status %RC%. Giving up. 1>&2
set STOP=4
exit /b
:send_done
call :note msg.%1 %RC% msg.err
exit /b

rem receive LABEL: chanpipe r into a file, then its size to the host, then
rem the file back with chanpipe w.
:receive
if defined STOP exit /b
"!CP!" r "%NAME%" > "%D%\in.bin" 2> "%D%\r.err"
set RRC=%ERRORLEVEL%
call :note %1.r %RRC% r.err
call :denied r %RRC% r.err
if not defined STOP goto receive_go
rem The host waits for this reader: tell it why none comes.
set "STOP="
> "%D%\msg.txt" echo %MAGIC% %VERSION% denied %1 r
type "%D%\r.err" >> "%D%\msg.txt"
>> "%D%\msg.txt" echo end
call :send denied.%1
set STOP=3
exit /b
:receive_go
set SIZE=0
for %%F in ("%D%\in.bin") do set SIZE=%%~zF
call :msg got %1 status=%RRC% size=%SIZE%
"!CP!" w "%NAME%" < "%D%\in.bin" 2> "%D%\w.err"
call :note %1.w %ERRORLEVEL% w.err
del "%D%\in.bin"
exit /b

rem denied MODE STATUS ERRFILE: stops the script (STOP=3) when chanpipe MODE
rem could not open the port for lack of rights (status 3, error 5).
:denied
if not "%2"=="3" exit /b
set "DENIED="
for /f "usebackq delims=" %%L in ("%D%\%3") do if "%%L"=="CreateFile error 5" set DENIED=1
if not defined DENIED exit /b
echo chanpipe-selftest: chanpipe %1 %NAME% may not open the port: CreateFile error 5, access denied. 1>&2
echo chanpipe-selftest: Run this script as a user who may open it (an elevated prompt), or give your user the port: see exit status 3 in chanpipe's README. Stopped. 1>&2
set STOP=3
exit /b

rem note LABEL STATUS [ERRFILE [always]]: a run's status for the report, and
rem the first lines of its standard error (not the progress lines) when it
rem failed, or always.
:note
>> "%D%\runs.txt" echo run %1 %2
if "%3"=="" exit /b
if "%2"=="0" if not "%4"=="always" exit /b
>> "%D%\runs.txt" echo stderr-begin %1
set LINES=0
for /f "usebackq delims=" %%L in ("%D%\%3") do call :keep "%%L"
>> "%D%\runs.txt" echo stderr-end
exit /b

rem keep "LINE": one line of a standard error for the report, the first five
rem that are not progress lines.
:keep
if %LINES% geq 5 exit /b
if "%~1"=="Executing WriteFile" exit /b
if "%~1"=="Finished WriteFile" exit /b
>> "%D%\runs.txt" echo %~1
set /a LINES+=1
exit /b

rem pause: about three seconds by the clock where %%TIME%% has hundredths
rem (Windows), else a fixed count of idle turns, about five seconds on an
rem idle machine (Wine's %%TIME%% has no seconds).
:pause
call :centis T0
set PN=0
:pause_more
for /l %%i in (1,1,10000) do rem
set /a PN+=1
if not defined T0 goto pause_count
call :centis T1
if not defined T1 goto pause_count
set /a PD=T1-T0
if %PD% lss 0 set /a PD+=8640000
if %PD% geq 300 exit /b
if %PN% lss 2000 goto pause_more
exit /b
:pause_count
if %PN% lss 80 goto pause_more
exit /b

rem centis VAR: the time of day in hundredths of a second, or nothing.
:centis
set "%1="
for /f "tokens=1-4 delims=:., " %%a in ("%TIME%") do if not "%%d"=="" set /a "%1=(100%%a %% 100)*360000 + (100%%b %% 100)*6000 + (100%%c %% 100)*100 + (100%%d %% 100)" 2>nul
exit /b
