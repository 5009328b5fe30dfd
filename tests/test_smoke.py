def test_child_imports_same_module(child, tqv):
    result = child("import tq_velmor; print(tq_velmor.__file__)")
    assert result.stdout.strip() == tqv.__file__
