#!/bin/sh
# Demo stand-in removal batch file.
echo "    del_xctrl.bat: removing leftover driver files"
