"""What proves the release: the suite in the Windows interpreter, the program under Wine, the real build."""
