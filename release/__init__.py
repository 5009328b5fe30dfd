"""What ships: the Windows wheel and module, the one-click program, and the release made of them."""
