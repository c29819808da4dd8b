import quorvel


def test_module_imports_and_declares_all():
    assert isinstance(quorvel.__all__, list)
    for name in quorvel.__all__:
        assert getattr(quorvel, name).__module__ == "quorvel"
