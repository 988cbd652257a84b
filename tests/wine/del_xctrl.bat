@echo del_xctrl.bat>>standin.log
