"""A ``ctypes.windll`` whose ``kernel32.SetConsoleTitleW`` records the titles it is given."""

title_calls = []


class Kernel32:
    def SetConsoleTitleW(self, title):
        title_calls.append(title)
        return 1


class WinDLL:
    def __init__(self):
        self.kernel32 = Kernel32()


windll = WinDLL()
